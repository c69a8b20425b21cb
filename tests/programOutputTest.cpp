// Black-box tests of kavrel-test-emulated: exact output, exit status and prompt behaviour.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "childProcess.h"
#include "common/matrix.h"
#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"

namespace {

const std::string kBanner = "Kavrel test running..\n";
const std::string kVersionLine = "Cublas Version Number: " + std::to_string(kEmulatedCublasVersion) + "\n";
const std::string kStartLines = kBanner + kVersionLine + kVersionLine;
const std::string kPrompt = "\nPress ENTER to exit...\n";
const std::string kInitializationError = "!!!! CUBLAS initialization error\n";

ChildRun runProgram(const std::vector<std::string>& arguments, const std::string& faults = "",
                    bool mergeStreams = false) {
    ChildOptions options;
    options.arguments = arguments;
    options.emulatedFaults = faults;
    options.mergeStreams = mergeStreams;
    return runChild(KAVREL_EMULATED_EXECUTABLE, options);
}

// Splits a complete run's standard output around its time line, which varies with the machine.
struct CompleteOutput {
    std::string beforeTime;
    long seconds = -1;
    std::string afterTime;
};

CompleteOutput splitAtTimeLine(const std::string& output) {
    const std::string prefix = "GPU: ";
    const std::string decimals = ".000000";
    const std::size_t start = output.find(prefix);
    const std::size_t end = output.find('\n', start);
    if (start == std::string::npos || end == std::string::npos || (start > 0 && output[start - 1] != '\n')) {
        return CompleteOutput{output, -1, ""};
    }
    const std::string value = output.substr(start + prefix.size(), end - start - prefix.size());
    const std::size_t point = value.find('.');
    const bool wholeSeconds = point != std::string::npos && point > 0 && value.substr(point) == decimals &&
                              value.find_first_not_of("0123456789") == point;
    if (!wholeSeconds) {
        return CompleteOutput{output, -1, ""};
    }
    return CompleteOutput{output.substr(0, start), std::stol(value.substr(0, point)), output.substr(end + 1)};
}

}  // namespace

// Complete runs take seconds each, so three cover both prompt modes, both verdicts and the failed version
// queries between them; release failures and a failure in the last iteration are tested in process.
TEST(ProgramRun, CompleteRunWithArgumentPrintsFiveLinesAndPasses) {
    const std::string statsPath = testing::TempDir() + "kavrel-complete-run.stats";
    std::remove(statsPath.c_str());
    ChildOptions options;
    options.arguments = {"x"};
    options.environment = {{"KAVREL_EMULATED_STATS", statsPath}};
    const ChildRun run = runChild(KAVREL_EMULATED_EXECUTABLE, options);
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kStartLines);
    EXPECT_EQ(output.afterTime, "PASSED\n");
    // The loop is nearly all of the child's lifetime, so its whole seconds follow the child's wall time: never
    // more than it, and less only by the seconds' rounding and the work around the loop.
    EXPECT_LE(static_cast<double>(output.seconds), run.wallSeconds + 1.0);
    EXPECT_GE(static_cast<double>(output.seconds), run.wallSeconds - 2.0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);

    // What the stand-in saw: every round trip's SGEMM, one computed product, since every iteration multiplies the
    // same operands (more would make a complete run far slower than its budget), and nothing left live at exit.
    std::ifstream statsFile(statsPath);
    std::stringstream stats;
    stats << statsFile.rdbuf();
    EXPECT_EQ(stats.str().substr(0, stats.str().find("cublasCreate_v2")),
              "computed_products 1\nlive_device_allocations 0\nlive_host_allocations 0\nlive_contexts 0\n"
              "live_events 0\n");
    EXPECT_NE(stats.str().find("\ncublasSgemm_v2 " + std::to_string(kDeviceIterations) + "\n"), std::string::npos)
        << stats.str();
    std::remove(statsPath.c_str());
}

TEST(ProgramRun, FailedVerdictWithoutArgumentShowsThePromptAndStillEndsWithStatusZero) {
    const ChildRun run = runProgram({}, "corrupt:10000");
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kStartLines);
    EXPECT_GE(output.seconds, 0);
    EXPECT_EQ(output.afterTime, "FAILED\n" + kPrompt);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ProgramRun, FailedVersionQueriesLetTheRunGoOnToAFailedReleaseWhichEndsIt) {
    const ChildRun run =
        runProgram({"-qatest"}, "cublasGetVersion_v2:1,cublasGetVersion_v2:2,cublasDestroy_v2:1", true);
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kBanner + "Cublas Version Number: 0\n" + kInitializationError +
                                     "Cublas Version Number: 0\n" + kInitializationError);
    EXPECT_EQ(output.afterTime, "PASSED\n!!!! shutdown error (A)\n");
    EXPECT_EQ(run.exitStatus, 1);
}

TEST(ProgramRun, MergedStreamsKeepTheOrderOfWriting) {
    const ChildRun run = runProgram({"x"}, "cublasGetVersion_v2:1,cublasCreate_v2:1", true);
    EXPECT_EQ(run.standardOutput, kBanner + "Cublas Version Number: 0\n" + kInitializationError + kInitializationError);
    EXPECT_EQ(run.exitStatus, 1);
}

// A failure that ends the run: what standard output holds up to it, and its one message.
struct FailureCase {
    const char* faults;
    const char* message;
};

// Shows a case by its faults, so that test names read like "cudaMalloc_2".
void PrintTo(const FailureCase& failure, std::ostream* out) {
    *out << failure.faults;
}

std::string failureName(const testing::TestParamInfo<FailureCase>& info) {
    std::string name = info.param.faults;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

class ProgramFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ProgramFailure, ReportsItsMessageOnceAndEndsWithStatusOne) {
    const FailureCase& failure = GetParam();
    const ChildRun run = runProgram({"x"}, failure.faults);
    EXPECT_EQ(run.standardError, failure.message);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput, kStartLines);
}

INSTANTIATE_TEST_SUITE_P(BeforeTheLoop, ProgramFailure,
                         testing::Values(FailureCase{"cudaHostAlloc:1", "!!!! host memory allocation error (A)\n"},
                                         FailureCase{"cudaHostAlloc:2", "!!!! host memory allocation error (B)\n"},
                                         FailureCase{"cudaHostAlloc:3", "!!!! host memory allocation error (C)\n"},
                                         FailureCase{"cudaHostAlloc:4",
                                                     "!!!! host memory allocation error (reference)\n"},
                                         FailureCase{"cudaMalloc:1", "!!!! device memory allocation error (A)\n"},
                                         FailureCase{"cudaMalloc:2", "!!!! device memory allocation error (B)\n"},
                                         FailureCase{"cudaMalloc:3", "!!!! device memory allocation error (C)\n"}),
                         failureName);

INSTANTIATE_TEST_SUITE_P(FirstIteration, ProgramFailure,
                         testing::Values(FailureCase{"cublasSetMatrix:1", "!!!! device access error (write A)\n"},
                                         FailureCase{"cublasSetMatrix:2", "!!!! device access error (write B)\n"},
                                         FailureCase{"cublasSetMatrix:3", "!!!! device access error (write C)\n"},
                                         FailureCase{"cublasSgemm_v2:1", "!!!! kernel execution error.\n"},
                                         FailureCase{"cublasGetMatrix:1", "!!!! device access error (read C)\n"}),
                         failureName);

TEST(ProgramStart, ContextCreationFailureStopsAfterTheFirstVersionLine) {
    const ChildRun run = runProgram({"x"}, "cublasCreate_v2:1");
    EXPECT_EQ(run.standardOutput, kBanner + kVersionLine);
    EXPECT_EQ(run.standardError, kInitializationError);
    EXPECT_EQ(run.exitStatus, 1);
}

TEST(ProgramStart, ContextCreationFailureShowsNoPromptWithoutArgument) {
    const ChildRun run = runProgram({}, "cublasCreate_v2:1");
    EXPECT_EQ(run.standardOutput, kBanner + kVersionLine);
    EXPECT_EQ(run.exitStatus, 1);
}

class MalformedFaults : public testing::TestWithParam<const char*> {};

std::string mistakeName(const testing::TestParamInfo<const char*>& info) {
    return "case" + std::to_string(info.index);
}

TEST_P(MalformedFaults, StopBeforeTheProgramPrintsAnything) {
    const ChildRun run = runProgram({"x"}, GetParam());
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_NE(run.standardError.find("KAVREL_EMULATED_FAULTS"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.exitStatus, 2);
}

INSTANTIATE_TEST_SUITE_P(EachKindOfMistake, MalformedFaults,
                         testing::Values("cublasSgemm:3", "cudaMalloc", "cudaMalloc:", "cudaMalloc:0", "cudaMalloc:-1",
                                         "cudaMalloc:x", "cudaMalloc:1,,cudaFree:1", "corrupt:2x"),
                         mistakeName);

TEST(MalformedFaultsMessage, NamesTheBadItem) {
    const ChildRun run = runProgram({"x"}, "cudaFree:1,cublasSgemm:3");
    EXPECT_NE(run.standardError.find("cublasSgemm:3"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.exitStatus, 2);
}
