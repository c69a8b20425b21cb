// Black-box tests of kavrel-bench-emulated: its report forms, figures and exit statuses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "childProcess.h"
#include "gpu/emulated/emulatedControl.h"

namespace {

const std::string kUsageHint = "Run with --help for more information.\n";

ChildRun runBench(const std::vector<std::string>& arguments, const std::string& faults = "") {
    ChildOptions options;
    options.arguments = arguments;
    options.emulatedFaults = faults;
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

// The child's standard output as JSON; discarded (and the test failed) when it is not exactly one document.
nlohmann::json parseReport(const ChildRun& run) {
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << run.standardOutput;
    return report;
}

}  // namespace

TEST(CompanionProgram, JsonReportHoldsEveryFieldWithPlausibleValues) {
    const ChildRun run = runBench({"--iterations", "50", "--json"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    const nlohmann::json report = parseReport(run);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["schema"], 1);
    EXPECT_EQ(report["program"], "kavrel-bench");
    EXPECT_TRUE(report["program_version"].is_string());
    EXPECT_EQ(report["device"]["index"], 0);
    EXPECT_EQ(report["device"]["name"], kEmulatedDeviceName);
    EXPECT_EQ(report["device"]["compute_capability"]["major"], kEmulatedComputeMajor);
    EXPECT_EQ(report["device"]["compute_capability"]["minor"], kEmulatedComputeMinor);
    EXPECT_EQ(report["cublas_version"], kEmulatedCublasVersion);
    EXPECT_EQ(report["matrix_order"], 1000);
    EXPECT_EQ(report["iterations"], 50);
    EXPECT_EQ(report["warmup"], 1);

    const nlohmann::json& timing = report["timing"];
    const double total = timing["total_seconds"].get<double>();
    const double median = timing["iteration_seconds"]["median"].get<double>();
    const double minimum = timing["iteration_seconds"]["min"].get<double>();
    const double maximum = timing["iteration_seconds"]["max"].get<double>();
    EXPECT_GT(minimum, 0.0);
    EXPECT_LE(minimum, median);
    EXPECT_LE(median, maximum);
    // The iteration times add up to the loop's total, which the child's lifetime bounds.
    EXPECT_GE(total, 50 * minimum * (1 - 1e-9));
    EXPECT_LE(total, 50 * maximum * (1 + 1e-9));
    EXPECT_LT(total, run.wallSeconds);
    EXPECT_TRUE(timing["phases"].is_null());

    const nlohmann::json& check = report["check"];
    EXPECT_GE(check["relative_l2_error"].get<double>(), 0.0);
    EXPECT_LT(check["relative_l2_error"].get<double>(), check["threshold"].get<double>());
    EXPECT_EQ(check["reference_norm_zero"], false);
    EXPECT_EQ(check["passed"], true);
    EXPECT_EQ(check["verdict"], "PASSED");
}

TEST(CompanionProgram, PhaseTimesMakeUpTheIterationTimes) {
    const ChildRun run = runBench({"--iterations", "50", "--phases", "--json"});
    EXPECT_EQ(run.exitStatus, 0);
    const nlohmann::json report = parseReport(run);
    const nlohmann::json& iteration = report["timing"]["iteration_seconds"];
    const nlohmann::json& phases = report["timing"]["phases"];
    ASSERT_TRUE(phases.is_object());
    EXPECT_EQ(phases["upload"]["bytes"], 12000000);
    EXPECT_EQ(phases["download"]["bytes"], 4000000);
    EXPECT_EQ(phases["sgemm"]["flops"], 2000000000);
    double medianSum = 0.0;
    for (const char* phase : {"upload", "sgemm", "download"}) {
        const double phaseMedian = phases[phase]["median_seconds"].get<double>();
        EXPECT_GT(phaseMedian, 0.0) << phase;
        EXPECT_LE(phaseMedian, iteration["max"].get<double>()) << phase;
        medianSum += phaseMedian;
    }
    // On the stand-in the upload compares three matrices, the download one, and the SGEMM finds its product in
    // place, so the phases' medians fall in that order; a phase timed as another shows up here.
    EXPECT_GT(phases["upload"]["median_seconds"].get<double>(), phases["download"]["median_seconds"].get<double>());
    EXPECT_GT(phases["download"]["median_seconds"].get<double>(), phases["sgemm"]["median_seconds"].get<double>());
    const double rate = phases["upload"]["gb_per_second"].get<double>();
    EXPECT_NEAR(rate, 12000000 / phases["upload"]["median_seconds"].get<double>() / 1e9, rate * 1e-9);
    // Each iteration is exactly its three phases, so only the medians' spread separates the two figures.
    const double iterationMedian = iteration["median"].get<double>();
    EXPECT_NEAR(medianSum, iterationMedian, 0.5 * iterationMedian);
}

TEST(CompanionProgram, TableIsTheDefaultFormAndEndsWithTheVerdict) {
    const ChildRun run = runBench({"--iterations", "5"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.standardOutput.rfind(std::string("Device              0: ") + kEmulatedDeviceName, 0), 0u);
    const std::string verdict = "Verdict             PASSED\n";
    ASSERT_GE(run.standardOutput.size(), verdict.size());
    EXPECT_EQ(run.standardOutput.substr(run.standardOutput.size() - verdict.size()), verdict);
}

TEST(CompanionProgram, WrongLastProductFailsWithStatusOne) {
    // The warm-up round trip makes SGEMM call 1, so the last of 5 timed ones is call 6.
    const ChildRun table = runBench({"--iterations", "5"}, "corrupt:6");
    EXPECT_EQ(table.exitStatus, 1);
    EXPECT_NE(table.standardOutput.find("Verdict             FAILED\n"), std::string::npos) << table.standardOutput;
    const ChildRun json = runBench({"--iterations", "5", "--json"}, "corrupt:6");
    EXPECT_EQ(json.exitStatus, 1);
    const nlohmann::json report = parseReport(json);
    EXPECT_TRUE(report["check"]["relative_l2_error"].is_null());
    EXPECT_EQ(report["check"]["verdict"], "FAILED");
}

TEST(CompanionProgram, UsageErrorEndsWithStatusTwoBeforeAnyLibraryCall) {
    // The device count would fail first if anything reached the library.
    const ChildRun run = runBench({"--iterations", "0"}, "cudaGetDeviceCount:1");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "--iterations: Value 0 not in range 1 to 10000000\n" + kUsageHint);
}

TEST(CompanionProgram, HelpAndVersionEndWithStatusZero) {
    const ChildRun help = runBench({"--help"}, "cudaGetDeviceCount:1");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.standardOutput.find("Usage: kavrel-bench"), std::string::npos) << help.standardOutput;
    const ChildRun version = runBench({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.standardOutput.rfind("kavrel-bench ", 0), 0u);
}

// A failing library call: the command line, the planned fault and the one message it gives.
struct BenchFailure {
    std::vector<std::string> arguments;
    const char* faults;
    const char* message;
};

// Names each case in test listings by its planned fault and extra arguments.
void PrintTo(const BenchFailure& failure, std::ostream* out) {
    *out << (*failure.faults != '\0' ? failure.faults : "no fault");
    for (const std::string& argument : failure.arguments) {
        *out << ' ' << argument;
    }
}

class CompanionFailure : public testing::TestWithParam<BenchFailure> {};

TEST_P(CompanionFailure, ReportsItsMessageAloneAndEndsWithStatusThree) {
    std::vector<std::string> arguments = GetParam().arguments;
    arguments.insert(arguments.end(), {"--iterations", "3"});
    const ChildRun run = runBench(arguments, GetParam().faults);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStage, CompanionFailure,
    testing::Values(BenchFailure{{}, "cudaGetDeviceCount:1", "!!!! device query error\n"},
                    BenchFailure{{"--device", "1"}, "", "!!!! device selection error (no such device)\n"},
                    BenchFailure{{}, "cudaSetDevice:1", "!!!! device selection error\n"},
                    BenchFailure{{}, "cudaGetDeviceProperties:1", "!!!! device query error\n"},
                    BenchFailure{{}, "cublasCreate_v2:1", "!!!! CUBLAS initialization error\n"},
                    BenchFailure{{}, "cublasGetVersion_v2:1", "!!!! CUBLAS initialization error\n"},
                    BenchFailure{{}, "cudaHostAlloc:4", "!!!! host memory allocation error (reference)\n"},
                    BenchFailure{{}, "cudaMalloc:3", "!!!! device memory allocation error (C)\n"},
                    BenchFailure{{}, "cublasSetMatrix:2", "!!!! device access error (write B)\n"},
                    BenchFailure{{"--json"}, "cublasSgemm_v2:4", "!!!! kernel execution error.\n"},
                    BenchFailure{{"--phases"}, "cudaDeviceSynchronize:5", "!!!! device synchronisation error\n"},
                    BenchFailure{{"--phases"}, "cublasGetMatrix:4", "!!!! device access error (read C)\n"},
                    BenchFailure{{}, "cudaFree:1", "!!!! memory free error (A)\n"},
                    BenchFailure{{}, "cublasDestroy_v2:1", "!!!! shutdown error (A)\n"}));
