// In-process tests of kavrel-bench's report: device figures, node summary, exit status, table, JSON and progress.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/benchReport.h"
#include "companion/progressLine.h"
#include "companion/reportJson.h"
#include "companion/reportTable.h"

namespace {

// A completed device whose round trips each took iterationSeconds and whose products all matched.
DeviceOutcome completedDevice(int index, double iterationSeconds, long roundTrips = 8) {
    DeviceOutcome outcome;
    outcome.device = index;
    outcome.described = true;
    outcome.description =
        DeviceDescription{"Test GPU", 8, 9, "GPU-00000000-0000-0000-0000-000000000000", "0000:1B:00.0"};
    outcome.libraryVersion = 130100;
    for (long i = 0; i < roundTrips; ++i) {
        // A spread around the median, so that each percentile differs.
        const double seconds = iterationSeconds * (1.0 + 0.01 * static_cast<double>(i));
        outcome.iterationSeconds.push_back(seconds);
        outcome.uploadSeconds.push_back(0.0006);
        outcome.sgemmSeconds.push_back(0.0005);
        outcome.downloadSeconds.push_back(0.0002);
        outcome.totalSeconds += seconds;
    }
    outcome.verification.checkedFirst = true;
    outcome.verification.firstError = RelativeError{false, 1.5e-7f};
    outcome.verification.verifiedProducts = roundTrips;
    return outcome;
}

DeviceOutcome failedDevice(int index, const char* message) {
    DeviceOutcome outcome;
    outcome.device = index;
    outcome.failed = true;
    outcome.failureMessage = message;
    return outcome;
}

BenchReport reportOf(std::vector<DeviceOutcome> outcomes, BenchOptions options = defaultBenchOptions()) {
    return summariseRun(options, &outcomes);
}

}  // namespace

TEST(CompanionSummary, DeviceFiguresComeFromItsOwnTimings) {
    const BenchReport report = reportOf({completedDevice(0, 0.001)});
    ASSERT_EQ(report.devices.size(), 1u);
    const DeviceReport& device = report.devices[0];
    EXPECT_EQ(device.roundTrips, 8);
    EXPECT_TRUE(device.passed);
    EXPECT_DOUBLE_EQ(device.upload.rate, 12000000.0 / 0.0006 / 1e9);
    EXPECT_DOUBLE_EQ(device.sgemm.rate, 2e9 / 0.0005 / 1e9);
    EXPECT_DOUBLE_EQ(device.download.rate, 4000000.0 / 0.0002 / 1e9);
    EXPECT_LT(device.iteration.p50, device.iteration.p99);
    EXPECT_LE(device.iteration.p99, device.iteration.max);
    EXPECT_DOUBLE_EQ(device.roundTripsPerSecond, 1.0 / device.iteration.p50);
    EXPECT_TRUE(report.node.allPassed);
    EXPECT_EQ(runStatus(report), kExitPassed);
}

TEST(CompanionSummary, OnlyTheDeviceSlowerThanTheMarginBelowItsPeersIsAnOutlier) {
    const BenchReport report = reportOf({completedDevice(0, 0.001), completedDevice(1, 0.00102),
                                         completedDevice(2, 0.00099), completedDevice(3, 0.0013)});
    EXPECT_EQ(report.node.outliers, std::vector<int>{3});
    EXPECT_TRUE(report.devices[3].outlier);
    EXPECT_FALSE(report.devices[0].outlier);
    // The flag alone leaves the status at 0; --fail-on-outlier makes it 1.
    EXPECT_EQ(runStatus(report), kExitPassed);
    BenchOptions strict = defaultBenchOptions();
    strict.failOnOutlier = true;
    EXPECT_EQ(
        runStatus(reportOf({completedDevice(0, 0.001), completedDevice(1, 0.001), completedDevice(2, 0.0013)}, strict)),
        kExitCheckFailed);
}

TEST(CompanionSummary, AMismatchOrAnUncheckedProductFailsItsDeviceAndTheNode) {
    DeviceOutcome mismatched = completedDevice(1, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(Mismatch{300, 1, std::nan("")});
    DeviceOutcome unchecked = completedDevice(2, 0.001);
    unchecked.verification.verifiedProducts -= 1;
    const BenchReport report = reportOf({completedDevice(0, 0.001), mismatched, unchecked});
    EXPECT_TRUE(report.devices[0].passed);
    EXPECT_FALSE(report.devices[1].passed);
    EXPECT_FALSE(report.devices[2].passed);
    EXPECT_EQ(report.node.failedChecks, 2);
    EXPECT_EQ(report.node.mismatches, 1);
    EXPECT_EQ(runStatus(report), kExitCheckFailed);
}

TEST(CompanionSummary, AFailedDeviceMakesTheStatusThreeAndNamesItsIndex) {
    DeviceOutcome mismatched = completedDevice(0, 0.001);
    mismatched.verification.mismatchCount = 2;
    const BenchReport report = reportOf({mismatched, failedDevice(1, "!!!! kernel execution error.\n")});
    EXPECT_EQ(report.node.failedDevices, 1);
    EXPECT_EQ(runStatus(report), kExitRunFailed);
    EXPECT_EQ(deviceFailureLine(report.devices[1]), "!!!! device 1: kernel execution error.\n");
}

TEST(CompanionSummary, AZeroReferenceNormOrANaNErrorNeverPasses) {
    for (const RelativeError error :
         {RelativeError{true, 0.0f}, RelativeError{false, std::nanf("")}, RelativeError{false, kPassThreshold}}) {
        DeviceOutcome outcome = completedDevice(0, 0.001);
        outcome.verification.firstError = error;
        EXPECT_EQ(runStatus(reportOf({outcome})), kExitCheckFailed);
    }
}

TEST(CompanionJson, HoldsOneObjectPerDeviceAndTheNode) {
    DeviceOutcome mismatched = completedDevice(2, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(Mismatch{300, 1, std::nan("")});
    const BenchReport report =
        reportOf({completedDevice(0, 0.001), failedDevice(1, "!!!! kernel execution error.\n"), mismatched});
    const nlohmann::json document = nlohmann::json::parse(reportJson(report));
    EXPECT_EQ(document["schema"], 2);
    ASSERT_EQ(document["devices"].size(), 3u);
    const nlohmann::json& passed = document["devices"][0];
    EXPECT_EQ(passed["status"], "passed");
    EXPECT_EQ(passed["timing"]["iteration_seconds"]["p50"].get<double>(), report.devices[0].iteration.p50);
    EXPECT_EQ(passed["timing"]["histogram"]["counts"].size() + 1,
              passed["timing"]["histogram"]["edges_seconds"].size());
    EXPECT_DOUBLE_EQ(passed["timing"]["upload"]["gb_per_second"].get<double>(), 20.0);
    const nlohmann::json& failed = document["devices"][1];
    EXPECT_EQ(failed["status"], "error");
    EXPECT_EQ(failed["error"], "!!!! kernel execution error.\n");
    EXPECT_FALSE(failed.contains("timing"));
    const nlohmann::json& mismatch = document["devices"][2]["check"]["mismatches"][0];
    EXPECT_EQ(mismatch["iteration"], 300);
    EXPECT_EQ(mismatch["differing_elements"], 1);
    EXPECT_TRUE(mismatch["largest_difference"].is_null());
    EXPECT_EQ(document["node"]["failed_devices"], 1);
    EXPECT_EQ(document["node"]["failed_checks"], 1);
    EXPECT_EQ(document["node"]["verdict"], "FAILED");
}

TEST(CompanionJson, ErrorIsNullWhenItIsNaNOrTheReferenceNormIsZero) {
    DeviceOutcome nan = completedDevice(0, 0.001);
    nan.verification.firstError = RelativeError{false, std::numeric_limits<float>::quiet_NaN()};
    DeviceOutcome zero = completedDevice(1, 0.001);
    zero.verification.firstError = RelativeError{true, 0.0f};
    const nlohmann::json document = nlohmann::json::parse(reportJson(reportOf({nan, zero})));
    EXPECT_TRUE(document["devices"][0]["check"]["relative_l2_error"].is_null());
    EXPECT_EQ(document["devices"][0]["check"]["verdict"], "FAILED");
    EXPECT_TRUE(document["devices"][1]["check"]["relative_l2_error"].is_null());
    EXPECT_EQ(document["devices"][1]["check"]["reference_norm_zero"], true);
}

TEST(CompanionTable, EachPercentileShowsItsOwnFigure) {
    const BenchReport report = reportOf({completedDevice(0, 0.001, 1000)});
    const Percentiles& p = report.devices[0].iteration;
    char expected[200];
    std::snprintf(expected, sizeof expected, "p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f  min %.3f ms\n",
                  p.p50 * 1e3, p.p90 * 1e3, p.p99 * 1e3, p.p999 * 1e3, p.max * 1e3, p.min * 1e3);
    ASSERT_LT(p.p50, p.p90);
    ASSERT_LT(p.p99, p.max);
    ASSERT_GT(p.p50, p.min);
    const std::string table = reportTable(report);
    EXPECT_NE(table.find(expected), std::string::npos) << table;
    EXPECT_NE(table.find("Upload median            0.600 ms         20.00 GB/s\n"), std::string::npos) << table;
    EXPECT_NE(table.find("SGEMM median             0.500 ms       4000.00 GFLOP/s\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Download median          0.200 ms         20.00 GB/s\n"), std::string::npos) << table;
}

TEST(CompanionTable, RowsPerDeviceThenTheNodeAndTheVerdictLast) {
    DeviceOutcome mismatched = completedDevice(2, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(Mismatch{300, 4, 0.25});
    const std::string table = reportTable(
        reportOf({completedDevice(0, 0.001), failedDevice(1, "!!!! kernel execution error.\n"), mismatched}));
    EXPECT_NE(table.find("\n0      Test GPU"), std::string::npos) << table;
    EXPECT_NE(table.find("ERROR"), std::string::npos) << table;
    EXPECT_NE(table.find("iteration 300: 4 elements differ, largest difference 0.25\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Devices             3: 1 passed, 1 failed the check, 1 failed to run\n"), std::string::npos)
        << table;
    const std::string verdict = "Verdict             FAILED\n";
    ASSERT_GE(table.size(), verdict.size());
    EXPECT_EQ(table.substr(table.size() - verdict.size()), verdict);
}

TEST(CompanionProgress, ShowsCountRateAndTimeLeft) {
    char text[128];
    formatProgress(250, 1000, 0.5, text, sizeof text);
    EXPECT_STREQ(text, "250/1000 iterations, 500 it/s, 1.5 s left");
    formatProgress(0, 1000, 0.0, text, sizeof text);
    EXPECT_STREQ(text, "0/1000 iterations");
    formatSoakProgress(3000, 20.0, 1.5, text, sizeof text);
    EXPECT_STREQ(text, "3000 iterations, 2000 it/s, 18.5 s left");
}

TEST(CompanionProgress, RedrawsAtMostEveryIntervalAndErasesItselfAtTheEnd) {
    using std::chrono::milliseconds;
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    ProgressLine line = startProgress(true, 100, 0.0, start);
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
