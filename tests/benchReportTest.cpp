// In-process tests of kavrel-bench's report forms, exit status and progress line.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "companion/progressLine.h"
#include "companion/reportJson.h"
#include "companion/reportTable.h"

namespace {

BenchReport sampleReport(bool phases) {
    BenchReport report{};
    report.options = defaultBenchOptions();
    report.device = DeviceDescription{"Test GPU", 8, 9};
    report.libraryVersion = 130100;
    const SampleSummary halfMillisecond{0.0005, 0.0004, 0.0009};
    report.timing = TimingFigures{5.25, halfMillisecond, phases, halfMillisecond, halfMillisecond, halfMillisecond};
    report.error = RelativeError{false, 1.5e-7f};
    report.passed = true;
    return report;
}

}  // namespace

TEST(CompanionJson, PhasesAreNullWithoutThemAndRatesFollowTheMediansWithThem) {
    const nlohmann::json plain = nlohmann::json::parse(reportJson(sampleReport(false)));
    EXPECT_TRUE(plain["timing"]["phases"].is_null());
    const nlohmann::json phased = nlohmann::json::parse(reportJson(sampleReport(true)));
    EXPECT_DOUBLE_EQ(phased["timing"]["phases"]["upload"]["gb_per_second"].get<double>(), 24.0);
    EXPECT_DOUBLE_EQ(phased["timing"]["phases"]["download"]["gb_per_second"].get<double>(), 8.0);
    EXPECT_DOUBLE_EQ(phased["timing"]["phases"]["sgemm"]["gflop_per_second"].get<double>(), 4000.0);
    EXPECT_EQ(phased["device"]["compute_capability"], (nlohmann::json{{"major", 8}, {"minor", 9}}));
}

TEST(CompanionJson, ErrorIsNullWhenItIsNaNOrTheReferenceNormIsZero) {
    BenchReport report = sampleReport(false);
    report.error = RelativeError{false, std::numeric_limits<float>::quiet_NaN()};
    report.passed = false;
    const nlohmann::json nan = nlohmann::json::parse(reportJson(report));
    EXPECT_TRUE(nan["check"]["relative_l2_error"].is_null());
    EXPECT_EQ(nan["check"]["verdict"], "FAILED");
    report.error = RelativeError{true, 0.0f};
    const nlohmann::json zero = nlohmann::json::parse(reportJson(report));
    EXPECT_TRUE(zero["check"]["relative_l2_error"].is_null());
    EXPECT_EQ(zero["check"]["reference_norm_zero"], true);
}

TEST(CompanionTable, EachIterationRowShowsItsOwnFigure) {
    BenchReport report = sampleReport(true);
    report.timing.iteration = SampleSummary{0.001, 0.0005, 0.004};
    report.timing.upload = SampleSummary{0.0003, 0.0001, 0.0009};
    report.timing.sgemm = SampleSummary{0.0002, 0.0001, 0.0009};
    report.timing.download = SampleSummary{0.0001, 0.0001, 0.0009};
    const std::string table = reportTable(report);
    EXPECT_NE(table.find("Iteration median         1.000 ms\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Iteration min            0.500 ms\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Iteration max            4.000 ms\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Upload median            0.300 ms"), std::string::npos) << table;
    EXPECT_NE(table.find("SGEMM median             0.200 ms"), std::string::npos) << table;
    EXPECT_NE(table.find("Download median          0.100 ms"), std::string::npos) << table;
}

TEST(CompanionStatus, OnlyAPassingCheckEndsWithStatusZero) {
    BenchReport report = sampleReport(false);
    EXPECT_EQ(completedRunStatus(report), kExitPassed);
    report.error = RelativeError{true, 0.0f};
    EXPECT_EQ(completedRunStatus(report), kExitCheckFailed);
    report.error = RelativeError{false, std::numeric_limits<float>::quiet_NaN()};
    EXPECT_EQ(completedRunStatus(report), kExitCheckFailed);
    report.error = RelativeError{false, kPassThreshold};
    EXPECT_EQ(completedRunStatus(report), kExitCheckFailed);
}

TEST(CompanionTable, ShowsPhaseRowsOnlyWithPhasesAndTimesInMilliseconds) {
    const std::string plain = reportTable(sampleReport(false));
    EXPECT_EQ(plain.find("Upload median"), std::string::npos);
    EXPECT_NE(plain.find("Total loop time     5.250000 s\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("Iteration median         0.500 ms\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("Verdict             PASSED\n"), std::string::npos) << plain;
    const std::string phased = reportTable(sampleReport(true));
    EXPECT_NE(phased.find("Upload median            0.500 ms         24.00 GB/s\n"), std::string::npos) << phased;
    EXPECT_NE(phased.find("SGEMM median             0.500 ms       4000.00 GFLOP/s\n"), std::string::npos) << phased;
}

TEST(CompanionProgress, ShowsCountRateAndTimeLeft) {
    char text[128];
    formatProgress(250, 1000, 0.5, text, sizeof text);
    EXPECT_STREQ(text, "250/1000 iterations, 500 it/s, 1.5 s left");
    formatProgress(0, 1000, 0.0, text, sizeof text);
    EXPECT_STREQ(text, "0/1000 iterations");
}

TEST(CompanionProgress, RedrawsAtMostEveryIntervalAndErasesItselfAtTheEnd) {
    using std::chrono::milliseconds;
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    ProgressLine line = startProgress(true, 100, start);
    updateProgress(&line, 1, start + milliseconds(50));
    const std::string beforeInterval = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    updateProgress(&line, 10, start + milliseconds(100));
    updateProgress(&line, 11, start + milliseconds(150));
    const std::string drawn = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    clearProgress(&line);
    clearProgress(&line);
    const std::string erased = testing::internal::GetCapturedStderr();

    EXPECT_EQ(beforeInterval, "");
    EXPECT_EQ(drawn, "\r10/100 iterations, 100 it/s, 0.9 s left");
    EXPECT_EQ(erased, "\r" + std::string(drawn.size() - 1, ' ') + "\r");
}
