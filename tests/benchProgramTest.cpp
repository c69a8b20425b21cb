// Black-box tests of kavrel-bench-emulated: its report forms, figures and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "childProcess.h"
#include "gpu/emulated/emulatedControl.h"
#include "support/benchUsage.h"

namespace bench {

namespace {

ChildRun runBench(const std::vector<std::string>& arguments, const std::string& faults = "",
                  const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    ChildOptions options;
    options.arguments = arguments;
    options.emulatedFaults = faults;
    options.environment = environment;
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

// A stand-in with four devices.
std::vector<std::pair<std::string, std::string>> fourDevices() {
    return {{"KAVREL_EMULATED_DEVICES", "4"}};
}

// The child's standard output as JSON; discarded (and the test failed) when it is not exactly one document.
nlohmann::json parseReport(const ChildRun& run) {
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << run.standardOutput;
    return report;
}

}  // namespace

TEST(BenchProgram, JsonReportHoldsEveryFieldWithPlausibleValues) {
    const ChildRun run = runBench({"--iterations", "50", "--json", "--node-name", "node-a"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    const nlohmann::json report = parseReport(run);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["schema"], 3);
    EXPECT_EQ(report["program"], "kavrel-bench");
    EXPECT_TRUE(report["program_version"].is_string());
    EXPECT_EQ(report["host"]["name"], "node-a");
    EXPECT_EQ(report["start_time"].get<std::string>().size(), 20u);
    EXPECT_EQ(report["matrix_order"], 1000);
    EXPECT_EQ(report["iterations"], 50);
    EXPECT_TRUE(report["duration_seconds"].is_null());
    EXPECT_EQ(report["warmup"], 1);
    ASSERT_EQ(report["devices"].size(), 1u);

    const nlohmann::json& device = report["devices"][0];
    EXPECT_EQ(device["index"], 0);
    EXPECT_EQ(device["name"], kEmulatedDeviceName);
    EXPECT_EQ(device["uuid"].get<std::string>().rfind("GPU-", 0), 0u);
    EXPECT_TRUE(device["pci_bus_id"].is_string());
    EXPECT_EQ(device["compute_capability"]["major"], kEmulatedComputeMajor);
    EXPECT_EQ(device["multiprocessors"], kEmulatedMultiprocessors);
    EXPECT_EQ(device["cublas_version"], kEmulatedCublasVersion);
    EXPECT_EQ(device["status"], "passed");
    EXPECT_EQ(device["round_trips"], 50);

    const nlohmann::json& timing = device["timing"];
    const nlohmann::json& iteration = timing["iteration_seconds"];
    EXPECT_GT(iteration["min"].get<double>(), 0.0);
    for (const auto& [lower, higher] : {std::pair<const char*, const char*>{"min", "p50"},
                                        {"p50", "p90"},
                                        {"p90", "p99"},
                                        {"p99", "p99_9"},
                                        {"p99_9", "max"}}) {
        EXPECT_LE(iteration[lower].get<double>(), iteration[higher].get<double>()) << lower << " " << higher;
    }
    // The iteration times add up to the loop's total, which the child's lifetime bounds.
    const double total = timing["timed_seconds"].get<double>();
    EXPECT_GE(total, 50 * iteration["min"].get<double>() * (1 - 1e-9));
    EXPECT_LE(total, 50 * iteration["max"].get<double>() * (1 + 1e-9));
    EXPECT_LT(total, run.wallSeconds);
    long counted = 0;
    for (const nlohmann::json& count : timing["histogram"]["counts"]) {
        counted += count.get<long>();
    }
    EXPECT_EQ(counted, 50);
    EXPECT_EQ(timing["upload"]["bytes"], 12000000);
    EXPECT_EQ(timing["download"]["bytes"], 4000000);
    EXPECT_EQ(timing["sgemm"]["flops"], 2000000000);

    const nlohmann::json& check = device["check"];
    EXPECT_LT(check["relative_l2_error"].get<double>(), check["threshold"].get<double>());
    EXPECT_EQ(check["verified_products"], 50);
    EXPECT_EQ(check["mismatch_count"], 0);
    EXPECT_EQ(check["verdict"], "PASSED");
    EXPECT_EQ(report["node"]["verdict"], "PASSED");
}

TEST(BenchProgram, PhaseTimesComeFromTheDeviceAndFallInTheirOrder) {
    const ChildRun run = runBench({"--iterations", "50", "--phases", "--json"});
    EXPECT_EQ(run.exitStatus, 0);
    const nlohmann::json report = parseReport(run);
    const nlohmann::json& timing = report["devices"][0]["timing"];
    double medianSum = 0.0;
    for (const char* phase : {"upload", "sgemm", "download"}) {
        const double phaseMedian = timing[phase]["median_seconds"].get<double>();
        EXPECT_GT(phaseMedian, 0.0) << phase;
        EXPECT_LE(phaseMedian, timing["iteration_seconds"]["max"].get<double>()) << phase;
        medianSum += phaseMedian;
    }
    // On the stand-in the upload moves three matrices, while the download and the SGEMM (which finds its product
    // computed before and copies it in) each move one, so the upload's median is the longest; the upload timed as
    // another phase shows up here.
    EXPECT_GT(timing["upload"]["median_seconds"].get<double>(), timing["download"]["median_seconds"].get<double>());
    EXPECT_GT(timing["upload"]["median_seconds"].get<double>(), timing["sgemm"]["median_seconds"].get<double>());
    const double rate = timing["upload"]["gb_per_second"].get<double>();
    EXPECT_NEAR(rate, 12000000 / timing["upload"]["median_seconds"].get<double>() / 1e9, rate * 1e-9);
    // Each iteration is its three phases and the event marks between them.
    const double iterationMedian = timing["iteration_seconds"]["p50"].get<double>();
    EXPECT_NEAR(medianSum, iterationMedian, 0.5 * iterationMedian);
}

TEST(BenchProgram, TableIsTheDefaultFormAndEndsWithTheVerdict) {
    const ChildRun run = runBench({"--iterations", "5"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_NE(run.standardOutput.find(std::string("\n0      ") + kEmulatedDeviceName), std::string::npos)
        << run.standardOutput;
    const std::string verdict = "Verdict             PASSED\n";
    ASSERT_GE(run.standardOutput.size(), verdict.size());
    EXPECT_EQ(run.standardOutput.substr(run.standardOutput.size() - verdict.size()), verdict);
}

TEST(BenchProgram, AWrongFirstProductIsTheOneWrongProductAndTheRightOnesAfterItAreNot) {
    // The warm-up round trip makes SGEMM call 1, so the first timed one is call 2.
    const ChildRun table = runBench({"--iterations", "5"}, "corrupt:2");
    EXPECT_EQ(table.exitStatus, 1);
    EXPECT_NE(table.standardOutput.find("Products verified   5, 1 wrong\n"
                                        "  wrong product     iteration 1: relative L2 error nan against the host "
                                        "reference\n"),
              std::string::npos)
        << table.standardOutput;
    EXPECT_NE(table.standardOutput.find("Verdict             FAILED\n"), std::string::npos) << table.standardOutput;
    const ChildRun json = runBench({"--iterations", "5", "--json"}, "corrupt:2");
    EXPECT_EQ(json.exitStatus, 1);
    const nlohmann::json report = parseReport(json);
    const nlohmann::json& check = report["devices"][0]["check"];
    EXPECT_TRUE(check["relative_l2_error"].is_null());
    EXPECT_EQ(check["verdict"], "FAILED");
    EXPECT_EQ(check["mismatch_count"], 1);
    ASSERT_EQ(check["mismatches"].size(), 1u);
    EXPECT_EQ(check["mismatches"][0]["iteration"], 1);
    EXPECT_EQ(check["mismatches"][0]["judged_against"], "reference");
    EXPECT_EQ(check["yardstick_iteration"], 2);
}

TEST(BenchProgram, WithoutAWarmUpEveryDeviceStillComputesOneProduct) {
    const std::string stats = testing::TempDir() + "kavrel-bench-warmup0.stats";
    const ChildRun run = runBench({"--devices", "all", "--iterations", "20", "--warmup", "0", "--json"}, "",
                                  {{"KAVREL_EMULATED_DEVICES", "4"}, {"KAVREL_EMULATED_STATS", stats}});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    std::ifstream file(stats);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (int device = 0; device < 4; ++device) {
        EXPECT_NE(text.find("device " + std::to_string(device) + " computed_products 1\n"), std::string::npos) << text;
    }
    EXPECT_NE(text.find("live_device_allocations 0\n"), std::string::npos) << text;
    std::remove(stats.c_str());
}

TEST(BenchProgram, AFailedCallIsReportedWithItsNameAndTheLibrarysStatus) {
    const ChildRun run = runBench({"--devices", "all", "--iterations", "20", "--json"}, "cublasSgemm_v2:10@1",
                                  {{"KAVREL_EMULATED_DEVICES", "2"}});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardError, "!!!! device 1: kernel execution error.\n");
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["devices"][1]["error"],
              nlohmann::json::parse(R"({"message": "kernel execution error.", "call": "cublasSgemm_v2",
                  "status_code": 13, "status_name": "CUBLAS_STATUS_EXECUTION_FAILED", "stalled_seconds": null})"));
    const ChildRun memory = runBench({"--iterations", "2", "--json", "--devices", "0,1"}, "cudaMalloc:2@1",
                                     {{"KAVREL_EMULATED_DEVICES", "2"}});
    EXPECT_EQ(parseReport(memory)["devices"][1]["error"]["status_name"], "cudaErrorMemoryAllocation");
}

TEST(BenchNode, EveryDeviceRunsAndEveryProductIsVerified) {
    const ChildRun run = runBench({"--devices", "all", "--iterations", "100", "--json"}, "", fourDevices());
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parseReport(run);
    ASSERT_EQ(report["devices"].size(), 4u);
    std::vector<std::string> uuids;
    for (int index = 0; index < 4; ++index) {
        const nlohmann::json& device = report["devices"][index];
        EXPECT_EQ(device["index"], index);
        EXPECT_EQ(device["check"]["verified_products"], 100) << index;
        EXPECT_EQ(device["check"]["mismatch_count"], 0) << index;
        uuids.push_back(device["uuid"].get<std::string>());
    }
    std::sort(uuids.begin(), uuids.end());
    EXPECT_EQ(std::unique(uuids.begin(), uuids.end()), uuids.end());
    EXPECT_EQ(report["node"]["passed"], 4);
}

TEST(BenchNode, CheckingTheFirstProductAloneNeverReadsABufferADownloadLandsIn) {
    // Devices 1 and 2 compute a wrong product in their third timed round trip, which is not checked; their first
    // product is, and a download landing in its buffer while it is read would make that check fail (or, under the
    // thread sanitizer, be reported).
    const ChildRun run = runBench({"--devices", "all", "--iterations", "20", "--check-first-only", "--json"},
                                  "corrupt:4@1,corrupt:4@2", fourDevices());
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["products_checked"], "first");
    ASSERT_EQ(report["devices"].size(), 4u);
    for (const nlohmann::json& device : report["devices"]) {
        EXPECT_EQ(device["check"]["verified_products"], 1) << device["index"];
        EXPECT_EQ(device["check"]["verdict"], "PASSED") << device["index"];
    }
}

TEST(BenchNode, AMismatchOnOneDeviceIsNamedWithItsIterationAndTheOthersStayClean) {
    // Warm-up makes SGEMM call 1 on device 2, so its call 300 is timed round trip 299.
    const ChildRun run =
        runBench({"--devices", "all", "--iterations", "400", "--json"}, "corrupt:300@2", fourDevices());
    EXPECT_EQ(run.exitStatus, 1) << run.standardError;
    const nlohmann::json report = parseReport(run);
    ASSERT_EQ(report["devices"].size(), 4u);
    for (int index = 0; index < 4; ++index) {
        const nlohmann::json& check = report["devices"][index]["check"];
        EXPECT_EQ(check["verified_products"], 400) << index;
        EXPECT_EQ(check["mismatch_count"], index == 2 ? 1 : 0) << index;
    }
    const nlohmann::json& mismatch = report["devices"][2]["check"]["mismatches"][0];
    EXPECT_EQ(mismatch["iteration"], 299);
    EXPECT_EQ(mismatch["differing_elements"], 1);
    EXPECT_EQ(report["devices"][2]["status"], "failed");
    EXPECT_EQ(report["node"]["mismatches"], 1);
}

TEST(BenchNode, TheSlowedDeviceAloneIsAnOutlierAndFailsOnlyWhenAskedTo) {
    // Three devices sharing a loaded machine's cores. The stand-in stretches only its operations, so under load a
    // round trip slows by much less than the factor: three times the work was once seen only 37% below the peers,
    // under wine in CI. Eight times the work stays well past a margin of 40%, which the peers' noise never reaches.
    const std::vector<std::pair<std::string, std::string>> environment = {{"KAVREL_EMULATED_DEVICES", "3"},
                                                                          {"KAVREL_EMULATED_SLOWDOWN", "2:8"}};
    const std::vector<std::string> arguments = {"--devices", "all", "--iterations", "200", "--outlier-margin", "40%"};
    std::vector<std::string> json = arguments;
    json.emplace_back("--json");
    const ChildRun run = runBench(json, "", environment);
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["node"]["outliers"], nlohmann::json::array({2})) << report["devices"].dump();
    std::vector<std::string> strict = arguments;
    strict.emplace_back("--fail-on-outlier");
    const ChildRun strictRun = runBench(strict, "", environment);
    EXPECT_EQ(strictRun.exitStatus, 1) << strictRun.standardOutput;
}

TEST(BenchNode, AFailingDeviceIsReportedAndTheOthersFinish) {
    const ChildRun run =
        runBench({"--devices", "all", "--iterations", "100", "--json"}, "cublasSgemm_v2:50@1", fourDevices());
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardError, "!!!! device 1: kernel execution error.\n");
    const nlohmann::json report = parseReport(run);
    ASSERT_EQ(report["devices"].size(), 4u);
    EXPECT_EQ(report["devices"][1]["status"], "error");
    for (int index : {0, 2, 3}) {
        EXPECT_EQ(report["devices"][index]["status"], "passed") << index;
        EXPECT_EQ(report["devices"][index]["round_trips"], 100) << index;
    }
}

// A call of one phase of a device's run that hangs on device 2 of four.
struct HangRow {
    const char* phase;
    const char* fault;  // KAVREL_EMULATED_FAULTS
    const char* call;   // the call the report must name
    std::vector<std::string> arguments;
};

void PrintTo(const HangRow& row, std::ostream* out) {
    *out << row.phase;
}

class BenchWatchdog : public testing::TestWithParam<HangRow> {};

TEST_P(BenchWatchdog, AStuckDeviceIsReportedInErrorAndTheOthersComplete) {
    std::vector<std::string> arguments{"--devices", "all",    "--iterations", "100",   "--stall-timeout",
                                       "2s",        "--size", "256",          "--json"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const ChildRun run = runBench(arguments, GetParam().fault, fourDevices());
    EXPECT_EQ(run.exitStatus, 3) << run.standardError;
    EXPECT_EQ(run.standardError.rfind(std::string("!!!! device 2: no progress for "), 0), 0u) << run.standardError;
    EXPECT_NE(run.standardError.find(std::string(" s in ") + GetParam().call + "\n"), std::string::npos)
        << run.standardError;
    const nlohmann::json report = parseReport(run);
    ASSERT_EQ(report["devices"].size(), 4u) << run.standardOutput;
    for (int index : {0, 1, 3}) {
        EXPECT_EQ(report["devices"][index]["status"], "passed") << index;
        EXPECT_EQ(report["devices"][index]["round_trips"], 100) << index;
    }
    const nlohmann::json& stuck = report["devices"][2];
    EXPECT_EQ(stuck["status"], "error");
    EXPECT_EQ(stuck["error"]["call"], GetParam().call);
    EXPECT_TRUE(stuck["error"]["status_code"].is_null());
    EXPECT_GE(stuck["error"]["stalled_seconds"].get<double>(), 2.0);
    // Described before it got stuck, it is still named.
    EXPECT_EQ(stuck["uuid"], "GPU-4b617672-656c-4000-8000-454d55000002");
}

INSTANTIATE_TEST_SUITE_P(
    EveryPhase, BenchWatchdog,
    testing::Values(HangRow{"ContextCreation", "hang:cublasCreate_v2:1@2", "cublasCreate_v2", {}},
                    // Call 20 is the timed loop's: the warm-up makes three uploads and each round trip three more.
                    HangRow{"Upload", "hang:cublasSetMatrix:20@2", "cublasSetMatrix", {}},
                    HangRow{"Sgemm", "hang:cublasSgemm_v2:8@2", "cublasSgemm_v2", {}},
                    HangRow{"Download", "hang:cublasGetMatrix:8@2", "cublasGetMatrix", {}},
                    HangRow{
                        "Synchronisation", "hang:cudaDeviceSynchronize:20@2", "cudaDeviceSynchronize", {"--phases"}},
                    HangRow{"EventWait", "hang:cudaEventSynchronize:8@2", "cudaEventSynchronize", {}}),
    [](const testing::TestParamInfo<HangRow>& info) { return std::string(info.param.phase); });

TEST(BenchWatchdog, ASoakWithAStuckDeviceEndsSoonAfterItsDuration) {
    // Order 256 keeps each device's first product, computed inside a watched call by the stand-in, far below the
    // 3 s limit on a loaded machine.
    const ChildRun run =
        runBench({"--devices", "all", "--duration", "10s", "--stall-timeout", "3s", "--size", "256", "--json"},
                 "hang:cublasGetMatrix:30@2", fourDevices());
    EXPECT_EQ(run.exitStatus, 3) << run.standardError;
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["devices"][2]["error"]["call"], "cublasGetMatrix");
    EXPECT_EQ(report["devices"][0]["status"], "passed");
    // Ten seconds of run, then the report: well within 15 s on a quiet machine, and never the minutes a wait for the
    // stuck thread would take.
    EXPECT_LT(run.wallSeconds, 30.0);
}

TEST(BenchWatchdog, WithoutAStallLimitNothingIsGivenUpOnForBeingSlow) {
    // Slowed eightfold, each of device 1's calls takes long, but none is stuck; --stall-timeout 0 turns the watch off.
    const ChildRun run = runBench({"--devices", "all", "--iterations", "20", "--stall-timeout", "0", "--json"}, "",
                                  {{"KAVREL_EMULATED_DEVICES", "2"}, {"KAVREL_EMULATED_SLOWDOWN", "1:8"}});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
}

#if !defined(_WIN32)
TEST(BenchInterruption, SigtermEndsTheRunWithAReportOfWhatWasDone) {
    ChildOptions options;
    // Order 256: the stand-in's first products, computed inside watched calls, are done long before the signal even
    // under the sanitizers, so no device is still in its first call when the stall limit drops to 5 s.
    options.arguments = {"--devices", "all", "--size", "256", "--duration", "60s", "--json"};
    options.environment = fourDevices();
    options.terminateAfterSeconds = 2.0;
    const ChildRun run = runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer slows every thread several-fold: the report still comes, later.
    constexpr double kReportWithinSeconds = 6.0;
#else
    constexpr double kReportWithinSeconds = 2.0;
#endif
    EXPECT_EQ(run.exitStatus, 5) << run.standardError;
    EXPECT_LT(run.secondsAfterSignal, kReportWithinSeconds);
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["interrupted"]["signal"], "SIGTERM");
    // The run's clock starts once the process runs, a little after the spawn the signal is timed from.
    EXPECT_GT(report["interrupted"]["after_seconds"].get<double>(), 1.0);
    EXPECT_LT(report["interrupted"]["after_seconds"].get<double>(), 2.5);
    ASSERT_EQ(report["devices"].size(), 4u);
    for (const nlohmann::json& device : report["devices"]) {
        EXPECT_EQ(device["status"], "passed") << device["index"];
        EXPECT_GT(device["round_trips"].get<long>(), 0) << device["index"];
        EXPECT_EQ(device["check"]["verified_products"], device["round_trips"]) << device["index"];
    }
}

TEST(BenchInterruption, TheTableSaysTheRunWasInterrupted) {
    ChildOptions options;
    options.arguments = {"--size", "256", "--duration", "60s"};  // quick first products, as above
    options.terminateAfterSeconds = 1.0;
    const ChildRun run = runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
    EXPECT_EQ(run.exitStatus, 5) << run.standardError;
    EXPECT_NE(run.standardOutput.find("Interrupted         by SIGTERM "), std::string::npos) << run.standardOutput;
}

TEST(BenchLimits, RunningOutOfMemoryIsAFailureWithAMessageNeverAnAbort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit under a small address-space limit";
#endif
    bool failedOnce = false;
    for (const char* kilobytes : {"300000", "500000", "700000", "900000"}) {
        const std::string command = std::string("ulimit -v ") + kilobytes + "; KAVREL_EMULATED_DEVICES=2 exec '" +
                                    KAVREL_BENCH_EMULATED_EXECUTABLE +
                                    "' --devices all --size 4000 --iterations 2 >/dev/null 2>" + testing::TempDir() +
                                    "kavrel-ulimit.err";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << kilobytes << " KB: ended by a signal";
        ASSERT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3)
            << kilobytes << " KB: " << WEXITSTATUS(status);
        if (WEXITSTATUS(status) == 3) {
            std::ifstream file(testing::TempDir() + "kavrel-ulimit.err");
            const std::string message((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            EXPECT_EQ(message.rfind("!!!! ", 0), 0u) << kilobytes << " KB: " << message;
            failedOnce = true;
        }
    }
    EXPECT_TRUE(failedOnce) << "no limit was low enough to fail an allocation";
}

TEST(BenchLimits, AReaderThatHasGoneIsAFailedWriteWithItsOwnStatus) {
    const std::string status = testing::TempDir() + "kavrel-pipe.status";
    const std::string command = std::string("{ sleep 1; '") + KAVREL_BENCH_EMULATED_EXECUTABLE +
                                "' --iterations 2 2>/dev/null; echo $? >'" + status + "'; } | true";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream file(status);
    int code = -1;
    file >> code;
    EXPECT_EQ(code, 4);
}
#endif

TEST(BenchLimits, TheDurationBoundsTheWarmUpToo) {
    // A hundred thousand warm-up round trips would take minutes; the duration stops them.
    const ChildRun run = runBench({"--duration", "2s", "--warmup", "100000", "--json"});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_LT(run.wallSeconds, 30.0);
    const nlohmann::json report = parseReport(run);
    EXPECT_GE(report["devices"][0]["round_trips"].get<long>(), 1);
}

TEST(BenchLimits, ANodeShowingFewerDevicesThanExpectedFails) {
    const ChildRun run = runBench({"--devices", "all", "--expect-devices", "4", "--iterations", "5", "--json"}, "",
                                  {{"KAVREL_EMULATED_DEVICES", "3"}});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardError, "!!!! expected 4 devices, the runtime sees 3\n");
    const nlohmann::json report = parseReport(run);
    EXPECT_EQ(report["node"]["missing_devices"], true);
    EXPECT_EQ(report["node"]["verdict"], "FAILED");
    EXPECT_EQ(runBench({"--devices", "all", "--expect-devices", "3", "--iterations", "5"}, "",
                       {{"KAVREL_EMULATED_DEVICES", "3"}})
                  .exitStatus,
              0);
}

TEST(BenchSizes, AnyOrderRunsAndPasses) {
    for (const char* size : {"1", "257", "2048"}) {
        const ChildRun run = runBench({"--size", size, "--iterations", "3", "--json"});
        EXPECT_EQ(run.exitStatus, 0) << size << run.standardError;
        const nlohmann::json report = parseReport(run);
        EXPECT_EQ(report["matrix_order"], std::stoi(size));
        EXPECT_EQ(report["devices"][0]["check"]["verdict"], "PASSED") << size;
    }
}

TEST(BenchSizes, AnOrderTooLargeForTheDeviceFailsBeforeAllocatingAnything) {
    const ChildRun run = runBench({"--size", "100000"}, "cudaHostAlloc:1,cudaMalloc:1");
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardOutput, "");
    // Had anything been allocated, the planned allocation failures would have been the message.
    EXPECT_EQ(run.standardError.rfind("!!!! device 0: device memory too small: three matrices of order 100000 need "
                                      "120000000000 bytes, ",
                                      0),
              0u)
        << run.standardError;
}

TEST(BenchSoak, RunsForTheDurationAndVerifiesEveryProduct) {
    const ChildRun run = runBench({"--duration", "2s", "--json"});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parseReport(run);
    EXPECT_TRUE(report["iterations"].is_null());
    EXPECT_EQ(report["duration_seconds"], 2.0);
    const nlohmann::json& device = report["devices"][0];
    const long roundTrips = device["round_trips"].get<long>();
    EXPECT_GT(roundTrips, 0);
    EXPECT_EQ(device["check"]["verified_products"], roundTrips);
    EXPECT_LE(device["timing"]["timed_seconds"].get<double>(),
              2.0 + device["timing"]["iteration_seconds"]["max"].get<double>());
    EXPECT_GE(run.wallSeconds, 2.0);
}

#if !defined(_WIN32)
TEST(BenchOutput, AReportThatCannotBeWrittenEndsWithItsOwnStatus) {
    const std::string command =
        std::string("'") + KAVREL_BENCH_EMULATED_EXECUTABLE + "' --iterations 2 >/dev/full 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
}
#endif

TEST(BenchProgram, UsageErrorEndsWithStatusTwoBeforeAnyLibraryCall) {
    // The device count would fail first if anything reached the library.
    const ChildRun run = runBench({"--iterations", "0"}, "cudaGetDeviceCount:1");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "--iterations: Value 0 not in range 1 to 10000000\n" + kUsageHint);
}

TEST(BenchProgram, HelpAndVersionEndWithStatusZero) {
    const ChildRun help = runBench({"--help"}, "cudaGetDeviceCount:1");
    EXPECT_EQ(help.exitStatus, 0);
    // The usage names the program as it was started.
    EXPECT_NE(help.standardOutput.find("Usage: kavrel-bench-emulated [OPTIONS]"), std::string::npos)
        << help.standardOutput;
    const ChildRun version = runBench({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.standardOutput.rfind("kavrel-bench ", 0), 0u);
}

TEST(BenchProgram, HelpAndVersionAnswerEvenWhenTheStandInsVariablesAreBad) {
    const ChildRun help = runBench({"--iterations", "x", "--help"}, "cublasSgemm:3");
    EXPECT_EQ(help.exitStatus, 0) << help.standardError;
    EXPECT_NE(help.standardOutput.find("Usage: kavrel-bench"), std::string::npos) << help.standardOutput;
    const ChildRun version = runBench({"--version"}, "", {{"KAVREL_EMULATED_DEVICES", "0"}});
    EXPECT_EQ(version.exitStatus, 0) << version.standardError;
    EXPECT_EQ(version.standardOutput.rfind("kavrel-bench ", 0), 0u);
    // Without them the bad value still stops the program before it does anything.
    const ChildRun run = runBench({"--iterations", "3"}, "cublasSgemm:3");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "");
}

// A failing library call: the command line, the planned fault and the one message it gives.
struct FailingCall {
    std::vector<std::string> arguments;
    const char* faults;
    const char* message;
};

// Names each case in test listings by its planned fault and extra arguments.
void PrintTo(const FailingCall& failure, std::ostream* out) {
    *out << (*failure.faults != '\0' ? failure.faults : "no fault");
    for (const std::string& argument : failure.arguments) {
        *out << ' ' << argument;
    }
}

class BenchFailure : public testing::TestWithParam<FailingCall> {};

TEST_P(BenchFailure, ReportsItsMessageWithTheDeviceAndEndsWithStatusThree) {
    std::vector<std::string> arguments = GetParam().arguments;
    arguments.insert(arguments.end(), {"--iterations", "3"});
    const ChildRun run = runBench(arguments, GetParam().faults);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStage, BenchFailure,
    testing::Values(FailingCall{{}, "cudaGetDeviceCount:1", "!!!! device 0: device query error\n"},
                    FailingCall{{"--device", "1"}, "", "!!!! device 1: device selection error (no such device)\n"},
                    FailingCall{{}, "cudaSetDevice:1", "!!!! device 0: device selection error\n"},
                    FailingCall{{}, "cudaGetDeviceProperties:1", "!!!! device 0: device query error\n"},
                    FailingCall{{}, "cublasCreate_v2:1", "!!!! device 0: CUBLAS initialization error\n"},
                    FailingCall{{}, "cublasGetVersion_v2:1", "!!!! device 0: CUBLAS initialization error\n"},
                    FailingCall{{}, "cudaHostAlloc:4", "!!!! device 0: host memory allocation error (reference)\n"},
                    FailingCall{{}, "cudaMalloc:3", "!!!! device 0: device memory allocation error (C)\n"},
                    FailingCall{{}, "cublasSetMatrix:2", "!!!! device 0: device access error (write B)\n"},
                    FailingCall{{"--json"}, "cublasSgemm_v2:4", "!!!! device 0: kernel execution error.\n"},
                    FailingCall{
                        {"--phases"}, "cudaDeviceSynchronize:5", "!!!! device 0: device synchronisation error\n"},
                    FailingCall{{"--phases"}, "cublasGetMatrix:4", "!!!! device 0: device access error (read C)\n"},
                    FailingCall{{}, "cudaFree:1", "!!!! device 0: memory free error (A)\n"},
                    FailingCall{{}, "cublasDestroy_v2:1", "!!!! device 0: shutdown error (A)\n"}));

}  // namespace bench
