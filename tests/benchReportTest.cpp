// In-process tests of kavrel-bench's report: device figures, node summary, exit status, table, JSON and progress.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/benchReport.h"
#include "bench/exitStatus.h"
#include "bench/progressLine.h"
#include "bench/reportJson.h"
#include "bench/reportTable.h"

namespace bench {

namespace {

// A completed device whose round trips each took iterationSeconds and whose products all matched.
DeviceOutcome completedDevice(int index, double iterationSeconds, long roundTrips = 8) {
    DeviceOutcome outcome;
    outcome.device = index;
    outcome.described = true;
    outcome.description =
        DeviceDescription{"Test GPU", 8, 9, 132, "GPU-00000000-0000-0000-0000-000000000000", "0000:1B:00.0"};
    outcome.libraryVersion = 130100;
    for (long i = 0; i < roundTrips; ++i) {
        // A spread around the median, so that each percentile differs.
        const double seconds = iterationSeconds * (1.0 + 0.01 * static_cast<double>(i));
        outcome.iterationTimes.add(seconds);
        outcome.uploadTimes.add(0.0006);
        outcome.sgemmTimes.add(0.0005);
        outcome.downloadTimes.add(0.0002);
    }
    outcome.verification.checkedFirst = true;
    outcome.verification.firstError = RelativeError{false, 1.5e-7f};
    outcome.verification.verifiedProducts = roundTrips;
    outcome.verification.yardstickIteration = 1;
    outcome.loopWallSeconds = outcome.iterationTimes.sum() * 1.5;
    return outcome;
}

// A device whose run ended when a call failed: the message, and the call with its status and the status's name.
DeviceOutcome failedDevice(int index, const char* message, const char* call = "cublasSgemm_v2", int status = 13,
                           const char* statusName = "CUBLAS_STATUS_EXECUTION_FAILED") {
    DeviceOutcome outcome;
    outcome.device = index;
    DeviceFailure failure;
    failure.message = message;
    failure.call = call;
    failure.library = GpuLibrary::cublas;
    failure.statusCode = status;
    failure.statusName = statusName;
    outcome.failure = failure;
    return outcome;
}

// A wrong product found bit for bit against the yardstick.
Mismatch differs(long iteration, long elements, double largest) {
    return Mismatch{iteration, false, elements, largest, 0.0f, false};
}

BenchReport reportOf(std::vector<DeviceOutcome> outcomes, BenchOptions options = defaultBenchOptions()) {
    return summariseRun(options, &outcomes);
}

// A resident device whose intervals did the products at the rates given (GFLOP/s at order 1000), a second each.
DeviceOutcome residentDevice(int index, const std::vector<double>& gflopPerSecond) {
    DeviceOutcome outcome = completedDevice(index, 0.0005);
    outcome.uploadTimes = TimeSummary();
    outcome.downloadTimes = TimeSummary();
    for (const double rate : gflopPerSecond) {
        IntervalFigures interval;
        interval.products = 100;
        interval.sgemmSeconds = 100 * 2e9 / (rate * 1e9);
        outcome.intervals.push_back(interval);
    }
    outcome.loopWallSeconds = static_cast<double>(gflopPerSecond.size());
    return outcome;
}

BenchOptions residentOptions() {
    BenchOptions options = defaultBenchOptions();
    options.workload = Workload::resident;
    options.intervalSeconds = 1.0;
    return options;
}

}  // namespace

TEST(BenchResident, TheRateFallIsFromTheBestJudgedIntervalToTheLastAndFailsOnlyWhenAskedTo) {
    BenchOptions options = residentOptions();
    DeviceOutcome falling = residentDevice(0, {4000, 5000, 4900, 4000});
    falling.loopWallSeconds = 3.4;  // a last interval of 0.4 s is too short to judge: 4900 is the last judged
    DeviceOutcome steady = residentDevice(1, {5000, 4800, 4600});
    DeviceOutcome single = residentDevice(2, {5000});
    const BenchReport report = reportOf({falling, steady, single}, options);
    const DeviceReport& first = report.devices[0];
    ASSERT_EQ(first.intervals.size(), 4u);
    EXPECT_DOUBLE_EQ(first.intervals[1].gflopPerSecond, 5000.0);
    EXPECT_DOUBLE_EQ(first.intervals[3].startSeconds, 3.0);
    EXPECT_NEAR(first.intervals[3].seconds, 0.4, 1e-9);
    ASSERT_TRUE(first.rateFall);
    EXPECT_NEAR(*first.rateFall, 1.0 - 4900.0 / 5000.0, 1e-9) << "the short last interval is not judged";
    EXPECT_FALSE(first.rateFell);
    ASSERT_TRUE(report.devices[1].rateFall);
    EXPECT_NEAR(*report.devices[1].rateFall, 0.08, 1e-9);
    EXPECT_FALSE(report.devices[2].rateFall) << "one interval cannot fall";

    DeviceOutcome fell = residentDevice(0, {5000, 5000, 4000});
    EXPECT_TRUE(reportOf({fell}, options).devices[0].rateFell);
    EXPECT_TRUE(reportOf({fell}, options).devices[0].passed) << "flagged, not failed";
    options.failOnThrottle = true;
    const DeviceReport failed = reportOf({fell}, options).devices[0];
    EXPECT_FALSE(failed.passed);
    ASSERT_FALSE(failed.healthVerdicts.empty());
    EXPECT_EQ(failed.healthVerdicts[0].detail, "rate fell 20% over the soak");
}

TEST(BenchResident, PeersAreJudgedByGflopsAndNoTransferFigureIsReported) {
    std::vector<DeviceOutcome> outcomes;
    for (int index = 0; index < 4; ++index) {
        outcomes.push_back(residentDevice(index, {5000, 5000}));
    }
    // Device 3's SGEMMs take twice as long, and its round trips per second would not show it.
    outcomes[3].sgemmTimes = TimeSummary();
    for (int i = 0; i < 8; ++i) {
        outcomes[3].sgemmTimes.add(0.001);
    }
    const BenchReport report = reportOf(outcomes, residentOptions());
    EXPECT_EQ(report.node.outliers, std::vector<int>{3});
    const nlohmann::json json = nlohmann::json::parse(reportJson(report));
    EXPECT_EQ(json["workload"], "resident");
    EXPECT_EQ(json["node"]["outliers_judged_by"], "sgemm_gflop_per_second");
    EXPECT_TRUE(json["devices"][0]["timing"]["upload"].is_null());
    EXPECT_TRUE(json["devices"][0]["round_trips_per_second"].is_null());
    EXPECT_EQ(json["devices"][0]["intervals"].size(), 2u);
    const std::string table = reportTable(report);
    EXPECT_NE(table.find("Outliers            device 3 (SGEMM GFLOP/s more than 10%"), std::string::npos) << table;
    EXPECT_NE(table.find("Rate series         1 s intervals"), std::string::npos) << table;
}

TEST(BenchSummary, DeviceFiguresComeFromItsOwnTimings) {
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

TEST(BenchSummary, OnlyTheDeviceSlowerThanTheMarginBelowItsPeersIsAnOutlier) {
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

TEST(BenchSummary, AMismatchOrAnUncheckedProductFailsItsDeviceAndTheNode) {
    DeviceOutcome mismatched = completedDevice(1, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(differs(300, 1, std::nan("")));
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

TEST(BenchSummary, AFailedDeviceMakesTheStatusThreeAndNamesItsIndex) {
    DeviceOutcome mismatched = completedDevice(0, 0.001);
    mismatched.verification.mismatchCount = 2;
    const BenchReport report = reportOf({mismatched, failedDevice(1, "kernel execution error.")});
    EXPECT_EQ(report.node.failedDevices, 1);
    EXPECT_EQ(runStatus(report), kExitRunFailed);
    EXPECT_EQ(deviceFailureLine(report.devices[1]), "!!!! device 1: kernel execution error.\n");
}

TEST(BenchSummary, AZeroReferenceNormOrANaNErrorNeverPasses) {
    for (const RelativeError error :
         {RelativeError{true, 0.0f}, RelativeError{false, std::nanf("")}, RelativeError{false, kPassThreshold}}) {
        DeviceOutcome outcome = completedDevice(0, 0.001);
        outcome.verification.firstError = error;
        EXPECT_EQ(runStatus(reportOf({outcome})), kExitCheckFailed);
    }
}

TEST(BenchJson, HoldsOneObjectPerDeviceAndTheNode) {
    DeviceOutcome mismatched = completedDevice(2, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(differs(300, 1, std::nan("")));
    const BenchReport report =
        reportOf({completedDevice(0, 0.001), failedDevice(1, "kernel execution error."), mismatched});
    const nlohmann::json document = nlohmann::json::parse(reportJson(report));
    EXPECT_EQ(document["schema"], 3);
    ASSERT_EQ(document["devices"].size(), 3u);
    const nlohmann::json& passed = document["devices"][0];
    EXPECT_EQ(passed["status"], "passed");
    EXPECT_EQ(passed["timing"]["iteration_seconds"]["p50"].get<double>(), report.devices[0].iteration.p50);
    EXPECT_EQ(passed["timing"]["histogram"]["counts"].size() + 1,
              passed["timing"]["histogram"]["edges_seconds"].size());
    EXPECT_DOUBLE_EQ(passed["timing"]["upload"]["gb_per_second"].get<double>(), 20.0);
    const nlohmann::json& failed = document["devices"][1];
    EXPECT_EQ(failed["status"], "error");
    EXPECT_EQ(failed["error"], nlohmann::json::parse(R"({"message": "kernel execution error.", "call": "cublasSgemm_v2",
        "status_code": 13, "status_name": "CUBLAS_STATUS_EXECUTION_FAILED", "stalled_seconds": null})"));
    EXPECT_FALSE(failed.contains("timing"));
    const nlohmann::json& mismatch = document["devices"][2]["check"]["mismatches"][0];
    EXPECT_EQ(mismatch["iteration"], 300);
    EXPECT_EQ(mismatch["differing_elements"], 1);
    EXPECT_TRUE(mismatch["largest_difference"].is_null());
    EXPECT_EQ(document["node"]["failed_devices"], 1);
    EXPECT_EQ(document["node"]["failed_checks"], 1);
    EXPECT_EQ(document["node"]["verdict"], "FAILED");
}

TEST(BenchJson, ErrorIsNullWhenItIsNaNOrTheReferenceNormIsZero) {
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

TEST(BenchTable, EachPercentileShowsItsOwnFigure) {
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

TEST(BenchTable, RowsPerDeviceThenTheNodeAndTheVerdictLast) {
    DeviceOutcome mismatched = completedDevice(2, 0.001);
    mismatched.verification.mismatchCount = 1;
    mismatched.verification.mismatches.push_back(differs(300, 4, 0.25));
    const std::string table =
        reportTable(reportOf({completedDevice(0, 0.001), failedDevice(1, "kernel execution error."), mismatched}));
    EXPECT_NE(table.find("\n0      Test GPU"), std::string::npos) << table;
    EXPECT_NE(table.find("ERROR"), std::string::npos) << table;
    EXPECT_NE(table.find("Error               kernel execution error. (cublasSgemm_v2 returned 13, "
                         "CUBLAS_STATUS_EXECUTION_FAILED)\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("iteration 300: 4 elements differ, largest difference 0.25\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Devices             3: 1 passed, 1 failed the check, 1 failed to run\n"), std::string::npos)
        << table;
    const std::string verdict = "Verdict             FAILED\n";
    ASSERT_GE(table.size(), verdict.size());
    EXPECT_EQ(table.substr(table.size() - verdict.size()), verdict);
}

TEST(BenchSummary, InterruptionAndMissingDevicesHaveStatusesOfTheirOwnInAFixedPrecedence) {
    DeviceOutcome wrong = completedDevice(0, 0.001);
    wrong.verification.mismatchCount = 1;
    BenchReport interrupted = reportOf({wrong});
    interrupted.interruption = Interruption{SIGTERM, 2.0};
    EXPECT_EQ(runStatus(interrupted), kExitInterrupted) << "an interruption outranks a wrong product";
    BenchOptions expecting = defaultBenchOptions();
    expecting.expectDevices = 4;
    BenchReport missing = reportOf({completedDevice(0, 0.001)}, expecting);
    EXPECT_FALSE(missing.node.missingDevices) << "no count from the runtime, nothing to compare";
    std::vector<DeviceOutcome> outcomes{completedDevice(0, 0.001), completedDevice(1, 0.001),
                                        completedDevice(2, 0.001)};
    missing = summariseRun(expecting, &outcomes, 3);
    missing.interruption = Interruption{SIGINT, 1.0};
    EXPECT_TRUE(missing.node.missingDevices);
    EXPECT_FALSE(missing.node.allPassed);
    EXPECT_EQ(runStatus(missing), kExitRunFailed) << "a missing device outranks an interruption";
    EXPECT_EQ(missingDevicesLine(missing.node), "!!!! expected 4 devices, the runtime sees 3\n");
    const nlohmann::json document = nlohmann::json::parse(reportJson(missing));
    EXPECT_EQ(document["node"]["expected_devices"], 4);
    EXPECT_EQ(document["node"]["visible_devices"], 3);
    EXPECT_EQ(document["node"]["missing_devices"], true);
    EXPECT_EQ(document["node"]["verdict"], "FAILED");
    EXPECT_EQ(document["interrupted"]["signal"], "SIGINT");
    const std::string table = reportTable(missing);
    EXPECT_NE(table.find("Missing devices     4 expected, the runtime sees 3\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Interrupted         by SIGINT 1.0 s into the run"), std::string::npos) << table;
    EXPECT_TRUE(nlohmann::json::parse(reportJson(reportOf({completedDevice(0, 0.001)})))["interrupted"].is_null());
}

TEST(BenchJson, AWrongFirstProductIsJudgedAgainstTheReferenceAndAStuckCallHasNoStatus) {
    DeviceOutcome wrongFirst = completedDevice(0, 0.001);
    wrongFirst.verification.firstError = RelativeError{false, std::nanf("")};
    wrongFirst.verification.yardstickIteration = 2;
    wrongFirst.verification.mismatchCount = 1;
    wrongFirst.verification.mismatches.push_back(Mismatch{1, true, 0, std::nan(""), std::nanf(""), false});
    DeviceOutcome stuck = completedDevice(1, 0.001);
    DeviceFailure failure;
    failure.message = "no progress for 3.1 s in cublasGetMatrix";
    failure.call = "cublasGetMatrix";
    failure.stalledSeconds = 3.1;
    stuck.failure = failure;
    const BenchReport report = reportOf({wrongFirst, stuck});
    const nlohmann::json document = nlohmann::json::parse(reportJson(report));
    const nlohmann::json& check = document["devices"][0]["check"];
    EXPECT_EQ(check["yardstick_iteration"], 2);
    EXPECT_EQ(check["mismatch_count"], 1);
    EXPECT_EQ(check["mismatches"][0], nlohmann::json::parse(R"({"iteration": 1, "judged_against": "reference",
        "differing_elements": null, "largest_difference": null, "relative_l2_error": null,
        "device_check_only": false})"));
    EXPECT_EQ(document["devices"][1]["error"], nlohmann::json::parse(R"({"message":
        "no progress for 3.1 s in cublasGetMatrix", "call": "cublasGetMatrix", "status_code": null,
        "status_name": null, "stalled_seconds": 3.1})"));
    const std::string table = reportTable(report);
    EXPECT_NE(table.find("Yardstick           the product of iteration 2, the first to pass the reference check\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("iteration 1: relative L2 error nan against the host reference\n"), std::string::npos)
        << table;
    EXPECT_NE(table.find("Error               no progress for 3.1 s in cublasGetMatrix\n"), std::string::npos) << table;
}

TEST(BenchTable, WallTimeAndTheTimedSpansAreShownApart) {
    const std::string table = reportTable(reportOf({completedDevice(0, 0.001, 4)}));
    // Four spans of 1.00, 1.01, 1.02 and 1.03 ms, inside a loop half as long again.
    EXPECT_NE(table.find("Loop wall time      0.006090 s, of which 0.004060 s in timed round trips\n"),
              std::string::npos)
        << table;
}

TEST(BenchProgress, ShowsCountRateAndTimeLeft) {
    char text[128];
    formatProgress(250, 1000, 0.5, text, sizeof text);
    EXPECT_STREQ(text, "250/1000 iterations, 500 it/s, 1.5 s left");
    formatProgress(0, 1000, 0.0, text, sizeof text);
    EXPECT_STREQ(text, "0/1000 iterations");
    formatSoakProgress(3000, 20.0, 1.5, text, sizeof text);
    EXPECT_STREQ(text, "3000 iterations, 2000 it/s, 18.5 s left");
}

TEST(BenchProgress, RedrawsAtMostEveryIntervalAndErasesItselfAtTheEnd) {
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

}  // namespace bench
