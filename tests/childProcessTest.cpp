// Tests of the child-process runner against a probe program: arguments, input, environment, streams and status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "childProcess.h"

namespace {

ChildRun runProbe(const std::vector<std::string>& arguments, const ChildOptions& base = ChildOptions{}) {
    ChildOptions options = base;
    options.arguments = arguments;
    return runChild(KAVREL_CHILD_PROBE_EXECUTABLE, options);
}

}  // namespace

TEST(ChildProcess, ArgumentsArriveUnchanged) {
    // Each of these is split, merged or stripped by a naive Windows command line.
    const std::vector<std::string> awkward = {"plain",        "two words", "",         "say \"hi\"",      "trail\\",
                                              "dir\\ with\\", "a\\\\\"b",  "\ttabbed", "--device=all 64", "\\\\server"};
    std::vector<std::string> arguments{"0"};
    arguments.insert(arguments.end(), awkward.begin(), awkward.end());
    const ChildRun run = runProbe(arguments);
    std::string expected;
    for (const std::string& argument : awkward) {
        expected += "[" + argument + "]\n";
    }
    expected += "stdin: 0 bytes []\nfaults: unset\n";
    EXPECT_EQ(run.standardOutput, expected);
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(ChildProcess, InputIsWrittenThenClosedAndStatusComesBack) {
    ChildOptions options;
    options.standardInput = "first line\nsecond\n";
    const ChildRun run = runProbe({"42"}, options);
    EXPECT_EQ(run.standardOutput, "stdin: 18 bytes [first line\nsecond\n]\nfaults: unset\n");
    EXPECT_EQ(run.standardError, "err 1\nerr 2\n");
    EXPECT_EQ(run.exitStatus, 42);
    EXPECT_GT(run.wallSeconds, 0.0);
}

TEST(ChildProcess, FaultsVariableIsSetOnlyWhenGiven) {
    // ctest runs this with KAVREL_EMULATED_FAULTS set, which the child must not inherit.
    EXPECT_EQ(runProbe({"0"}).standardOutput, "stdin: 0 bytes []\nfaults: unset\n");
    ChildOptions options;
    options.emulatedFaults = "cudaMalloc:2,corrupt:1";
    EXPECT_EQ(runProbe({"0"}, options).standardOutput, "stdin: 0 bytes []\nfaults: [cudaMalloc:2,corrupt:1]\n");
}

TEST(ChildProcess, MergedStreamsKeepTheOrderOfWriting) {
    ChildOptions options;
    options.mergeStreams = true;
    options.standardInput = "x";
    const ChildRun run = runProbe({"3", "a"}, options);
    EXPECT_EQ(run.standardOutput, "[a]\nerr 1\nstdin: 1 bytes [x]\nerr 2\nfaults: unset\n");
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 3);
}

TEST(ChildProcess, MissingProgramGivesNoOutputAndAFailingStatus) {
    const ChildRun run = runChild(std::string(KAVREL_CHILD_PROBE_EXECUTABLE) + "-missing", ChildOptions{});
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_NE(run.exitStatus, 0);
}
