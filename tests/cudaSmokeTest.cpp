// Smoke test of kavrel-test on the real CUDA libraries: a complete run where a GPU is usable, else the fixed stop at
// context creation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "childProcess.h"

namespace {

const std::string kBanner = "Kavrel test running..";
const std::string kVersionPrefix = "Cublas Version Number: ";
const std::string kInitializationError = "!!!! CUBLAS initialization error\n";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));  // an unterminated last line, which no correct run writes
    }
    return lines;
}

bool isWholeNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Whether the line is "Cublas Version Number: N" with N a decimal number.
bool isVersionLine(const std::string& line) {
    return line.rfind(kVersionPrefix, 0) == 0 && isWholeNumber(line.substr(kVersionPrefix.size()));
}

// Whether the line is "GPU: S.000000" with S whole seconds.
bool isTimeLine(const std::string& line) {
    const std::string prefix = "GPU: ";
    const std::string decimals = ".000000";
    return line.size() > prefix.size() + decimals.size() && line.rfind(prefix, 0) == 0 &&
           line.compare(line.size() - decimals.size(), decimals.size(), decimals) == 0 &&
           isWholeNumber(line.substr(prefix.size(), line.size() - prefix.size() - decimals.size()));
}

// Checks one run of kavrel-test: without a usable GPU it prints the banner and one version line, reports the failed
// context creation and exits with 1; past context creation it prints every line of a complete run (then, when
// prompted, the prompt) and exits with 0.
void checkRun(const ChildRun& run, bool prompted) {
    const std::vector<std::string> lines = linesOf(run.standardOutput);
    ASSERT_GE(lines.size(), 2u) << run.standardOutput << run.standardError;
    EXPECT_EQ(lines[0], kBanner);
    EXPECT_TRUE(isVersionLine(lines[1])) << lines[1];
    const bool pastContextCreation = lines.size() > 2;
    if (!pastContextCreation) {
        EXPECT_EQ(run.standardOutput, kBanner + "\n" + lines[1] + "\n");
        EXPECT_EQ(run.standardError, kInitializationError);
        EXPECT_EQ(run.exitStatus, 1);
        std::cout << "no usable GPU: the run stopped at context creation, as it must\n";
        return;
    }
    std::vector<std::string> expected = {kBanner, lines[1], lines[1], "GPU: S.000000", "PASSED"};
    if (prompted) {
        expected.insert(expected.end(), {"", "Press ENTER to exit..."});
    }
    std::vector<std::string> shown = lines;
    if (shown.size() > 3 && isTimeLine(shown[3])) {
        shown[3] = "GPU: S.000000";
    }
    EXPECT_EQ(shown, expected) << run.standardOutput;
    EXPECT_EQ(run.standardOutput.back(), '\n');
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
}

}  // namespace

TEST(CudaProgram, RunWithArgumentCompletesOrStopsAtContextCreation) {
    ChildOptions options;
    options.arguments = {"-noprompt"};
    checkRun(runChild(KAVREL_CUDA_EXECUTABLE, options), false);
}

TEST(CudaProgram, RunWithoutArgumentPromptsOrStopsAtContextCreation) {
    ChildOptions options;
    options.standardInput = "\n";
    checkRun(runChild(KAVREL_CUDA_EXECUTABLE, options), true);
}
