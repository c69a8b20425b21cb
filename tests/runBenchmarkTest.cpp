// In-process tests of the run sequence and its GPU-facing stages on the stand-in: test matrices, device loop and
// release.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "gpu/emulated/emulatedControl.h"
#include "run/runStages.h"
#include "support/standInTest.h"

namespace {

// A run state holding everything a complete run holds before its release stage.
RunState acquiredRunState() {
    RunState state;
    EXPECT_EQ(cublasCreate_v2(&state.context), CUBLAS_STATUS_SUCCESS);
    EXPECT_TRUE(fillTestMatrices(state.shape, &state.host).succeeded);
    EXPECT_TRUE(allocateDeviceMatrices(state.shape, &state.device).succeeded);
    return state;
}

}  // namespace

using RunBenchmark = StandInTest;

TEST_F(RunBenchmark, FailedAllocationOfATestMatrixStopsBeforeFillingAndKeepsWhatItGot) {
    const char* const messages[] = {
        "!!!! host memory allocation error (A)\n", "!!!! host memory allocation error (B)\n",
        "!!!! host memory allocation error (C)\n", "!!!! host memory allocation error (reference)\n"};
    for (int failing = 1; failing <= 4; ++failing) {
        emulatedReleaseEverything();
        emulatedResetFaults();
        emulatedInjectFault(EmulatedOperation::cudaHostAlloc, failing);
        HostMatrices host;
        const StageResult result = fillTestMatrices(kTestMatrixShape, &host);
        EXPECT_FALSE(result.succeeded);
        EXPECT_STREQ(result.failureMessage, messages[failing - 1]);
        EXPECT_EQ(emulatedLiveHostAllocations(), failing - 1);
        EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaHostAlloc), failing);
    }
}

// A failing step of the release stage: its message, and what stays live after it.
struct ReleaseFailure {
    EmulatedOperation operation;
    long call;
    const char* message;
    long liveDevice;
    long liveContexts;
};

void PrintTo(const ReleaseFailure& failure, std::ostream* out) {
    *out << failure.message;
}

std::string releaseStepName(const testing::TestParamInfo<ReleaseFailure>& info) {
    const char* const steps[] = {"devA", "devB", "devC", "context"};
    return steps[info.index];
}

class ReleaseStage : public StandInTest, public testing::WithParamInterface<ReleaseFailure> {};

TEST_P(ReleaseStage, FailureReleasesNothingAfterIt) {
    const ReleaseFailure& failure = GetParam();
    RunState state = acquiredRunState();
    emulatedInjectFault(failure.operation, emulatedCallCount(failure.operation) + failure.call);
    const StageResult result = releaseResources(&state);
    EXPECT_FALSE(result.succeeded);
    EXPECT_STREQ(result.failureMessage, failure.message);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), failure.liveDevice);
    EXPECT_EQ(emulatedLiveContexts(), failure.liveContexts);
    EXPECT_EQ(emulatedLiveHostAllocations(), 4);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ReleaseStage,
    testing::Values(ReleaseFailure{EmulatedOperation::cudaFree, 1, "!!!! memory free error (A)\n", 3, 1},
                    ReleaseFailure{EmulatedOperation::cudaFree, 2, "!!!! memory free error (B)\n", 2, 1},
                    ReleaseFailure{EmulatedOperation::cudaFree, 3, "!!!! memory free error (C)\n", 1, 1},
                    ReleaseFailure{EmulatedOperation::cublasDestroy_v2, 1, "!!!! shutdown error (A)\n", 0, 1}),
    releaseStepName);

using ReleaseStageOrder = StandInTest;

TEST_F(ReleaseStageOrder, CompleteReleaseFreesEverythingInOrder) {
    RunState state = acquiredRunState();
    EXPECT_TRUE(releaseResources(&state).succeeded);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), 0);
    EXPECT_EQ(emulatedLiveContexts(), 0);
    EXPECT_EQ(emulatedLiveHostAllocations(), 0);
}

class DeviceLoop : public StandInTest {
protected:
    // Runs the loop for iterations round trips on a state with its context and test matrices.
    StageResult runLoop(int iterations) {
        EXPECT_EQ(cublasCreate_v2(&state.context), CUBLAS_STATUS_SUCCESS);
        EXPECT_TRUE(fillTestMatrices(state.shape, &state.host).succeeded);
        return runDeviceLoop(state.context, &state.alpha, &state.beta, state.shape, state.host, &state.device,
                             iterations, &elapsedSeconds);
    }
    RunState state;
    double elapsedSeconds = -1.0;  // what the loop leaves when it sets no time
};

TEST_F(DeviceLoop, AllocationFailureOfBKeepsAAllocatedAndSetsNoTime) {
    emulatedInjectFault(EmulatedOperation::cudaMalloc, 2);
    const StageResult result = runLoop(3);
    EXPECT_STREQ(result.failureMessage, "!!!! device memory allocation error (B)\n");
    EXPECT_EQ(elapsedSeconds, -1.0);
    EXPECT_NE(state.device.devA, nullptr);
    EXPECT_EQ(state.device.devB, nullptr);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), 1);
}

TEST_F(DeviceLoop, FailureInTheLastIterationSetsNoTime) {
    emulatedInjectFault(EmulatedOperation::cublasSgemm_v2, 3);
    const StageResult result = runLoop(3);
    EXPECT_STREQ(result.failureMessage, "!!!! kernel execution error.\n");
    EXPECT_EQ(elapsedSeconds, -1.0);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasGetMatrix), 2);
}

TEST_F(DeviceLoop, CompleteLoopSetsWholeSecondsAndMakesEveryCall) {
    ASSERT_TRUE(runLoop(3).succeeded);
    EXPECT_GE(elapsedSeconds, 0.0);
    EXPECT_EQ(elapsedSeconds, static_cast<double>(static_cast<long>(elapsedSeconds)));
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSetMatrix), 9);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSgemm_v2), 3);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasGetMatrix), 3);
}

TEST_F(DeviceLoop, LeavesOneDeviceProductInHostC) {
    state = acquiredRunState();
    // hostC goes up as random data and comes back as the product, whose first element the
    // test data puts at 247.221176 within rounding; the next round trip gives the same bits.
    ASSERT_TRUE(
        runRoundTrip(state.context, &state.alpha, &state.beta, state.shape, state.host, state.device).succeeded);
    const float expected = state.host.hostC[0];
    EXPECT_NEAR(expected, 247.221176f, 1e-3f);
    ASSERT_TRUE(
        runRoundTrip(state.context, &state.alpha, &state.beta, state.shape, state.host, state.device).succeeded);
    EXPECT_EQ(state.host.hostC[0], expected);
}
