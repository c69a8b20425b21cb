// Black-box tests of kavrel-test-emulated: exact output, exit status and prompt behaviour.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "childProcess.h"
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

TEST(ProgramRun, CompleteRunWithArgumentPrintsFiveLinesAndPasses) {
    const ChildRun run = runProgram({"x"});
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kStartLines);
    EXPECT_EQ(output.afterTime, "PASSED\n");
    // The whole seconds of the loop can never exceed the child's own lifetime.
    EXPECT_GE(output.seconds, 0);
    EXPECT_LE(static_cast<double>(output.seconds), run.wallSeconds + 1.0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ProgramRun, WithoutArgumentShowsPromptAndReturnsAtEndOfInput) {
    const ChildRun run = runProgram({});
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kStartLines);
    EXPECT_GE(output.seconds, 0);
    EXPECT_EQ(output.afterTime, "PASSED\n" + kPrompt);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ProgramRun, CorruptedLastProductFailsTheCheckButNotTheRun) {
    const ChildRun run = runProgram({"-noprompt"}, "corrupt:10000");
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kStartLines);
    EXPECT_EQ(output.afterTime, "FAILED\n");
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ProgramRun, FailedVerdictStillShowsThePromptWithoutArgument) {
    const ChildRun run = runProgram({}, "corrupt:10000");
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.afterTime, "FAILED\n" + kPrompt);
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ProgramRun, FailedVersionQueriesAreReportedAndTheRunCompletes) {
    const ChildRun run = runProgram({"-qatest"}, "cublasGetVersion_v2:1,cublasGetVersion_v2:2");
    const CompleteOutput output = splitAtTimeLine(run.standardOutput);
    EXPECT_EQ(output.beforeTime, kBanner + "Cublas Version Number: 0\nCublas Version Number: 0\n");
    EXPECT_EQ(output.afterTime, "PASSED\n");
    EXPECT_EQ(run.standardError, kInitializationError + kInitializationError);
    EXPECT_EQ(run.exitStatus, 0);
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
    bool afterLoop;  // the failure comes after the time and verdict lines
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
    if (failure.afterLoop) {
        const CompleteOutput output = splitAtTimeLine(run.standardOutput);
        EXPECT_EQ(output.beforeTime, kStartLines);
        EXPECT_EQ(output.afterTime, "PASSED\n");
    } else {
        EXPECT_EQ(run.standardOutput, kStartLines);
    }
}

INSTANTIATE_TEST_SUITE_P(
    BeforeTheLoop, ProgramFailure,
    testing::Values(FailureCase{"cudaHostAlloc:1", "!!!! host memory allocation error (A)\n", false},
                    FailureCase{"cudaHostAlloc:2", "!!!! host memory allocation error (B)\n", false},
                    FailureCase{"cudaHostAlloc:3", "!!!! host memory allocation error (C)\n", false},
                    FailureCase{"cudaHostAlloc:4", "!!!! host memory allocation error (reference)\n", false},
                    FailureCase{"cudaMalloc:1", "!!!! device memory allocation error (A)\n", false},
                    FailureCase{"cudaMalloc:2", "!!!! device memory allocation error (B)\n", false},
                    FailureCase{"cudaMalloc:3", "!!!! device memory allocation error (C)\n", false}),
    failureName);

INSTANTIATE_TEST_SUITE_P(
    FirstIteration, ProgramFailure,
    testing::Values(FailureCase{"cublasSetMatrix:1", "!!!! device access error (write A)\n", false},
                    FailureCase{"cublasSetMatrix:2", "!!!! device access error (write B)\n", false},
                    FailureCase{"cublasSetMatrix:3", "!!!! device access error (write C)\n", false},
                    FailureCase{"cublasSgemm_v2:1", "!!!! kernel execution error.\n", false},
                    FailureCase{"cublasGetMatrix:1", "!!!! device access error (read C)\n", false}),
    failureName);

INSTANTIATE_TEST_SUITE_P(LastIteration, ProgramFailure,
                         testing::Values(FailureCase{"cublasSgemm_v2:10000", "!!!! kernel execution error.\n", false}),
                         failureName);

INSTANTIATE_TEST_SUITE_P(Release, ProgramFailure,
                         testing::Values(FailureCase{"cudaFree:2", "!!!! memory free error (B)\n", true},
                                         FailureCase{"cublasDestroy_v2:1", "!!!! shutdown error (A)\n", true}),
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
