// In-process tests of kavrel-bench's run sequence on the stand-in: the calls it makes and what it releases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/exitStatus.h"
#include "bench/runBench.h"
#include "gpu/emulated/emulatedControl.h"
#include "support/standInTest.h"

namespace bench {

namespace {

using BenchSequence = StandInTest;

// Runs kavrel-bench in this process with the given arguments and returns its exit status; what it writes is
// captured and dropped.
int runWith(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kavrel-bench");
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = runBench(static_cast<int>(arguments.size()), argv.data()).status;
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    return status;
}

void expectNothingLive() {
    EXPECT_EQ(emulatedLiveDeviceAllocations(), 0);
    EXPECT_EQ(emulatedLiveHostAllocations(), 0);
    EXPECT_EQ(emulatedLiveContexts(), 0);
}

}  // namespace

TEST_F(BenchSequence, PhasedRunSynchronisesAfterEveryPhaseAndReleasesEverything) {
    EXPECT_EQ(runWith({"--iterations", "4", "--warmup", "2", "--phases", "--json"}), kExitPassed);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSgemm_v2), 6);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSetMatrix), 18);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaDeviceSynchronize), 12);
    expectNothingLive();
}

TEST_F(BenchSequence, PlainRunNeverSynchronisesAndAFailedCheckStillReleasesEverything) {
    emulatedInjectCorruption(3);
    EXPECT_EQ(runWith({"--iterations", "2", "--warmup", "1"}), kExitCheckFailed);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSgemm_v2), 3);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaDeviceSynchronize), 0);
    expectNothingLive();
}

}  // namespace bench
