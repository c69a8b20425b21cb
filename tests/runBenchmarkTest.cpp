// In-process tests of the run sequence, the device loop and the release stage on the stand-in.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "driver/releaseResources.h"
#include "driver/runBenchmark.h"
#include "driver/runState.h"
#include "gpu/deviceLoop.h"
#include "gpu/deviceRoundTrip.h"
#include "gpu/emulated/emulatedControl.h"
#include "host/testMatrices.h"
#include "support/standInTest.h"

namespace {

// A run state holding everything a complete run holds before its release stage.
RunState acquiredRunState() {
    RunState state;
    EXPECT_EQ(cublasCreate_v2(&state.context), CUBLAS_STATUS_SUCCESS);
    EXPECT_TRUE(fillTestMatrices(&state.host).succeeded);
    EXPECT_TRUE(allocateDeviceMatrices(&state.device).succeeded);
    return state;
}

}  // namespace

using RunBenchmark = StandInTest;

TEST_F(RunBenchmark, CompleteRunReleasesEverythingItAcquired) {
    char program[] = "kavrel-test-emulated";
    char argument[] = "x";
    char* argv[] = {program, argument, nullptr};
    testing::internal::CaptureStdout();
    const int status = runBenchmark(2, argv);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(printed.substr(printed.size() - 7), "PASSED\n");
    EXPECT_EQ(emulatedLiveDeviceAllocations(), 0);
    EXPECT_EQ(emulatedLiveHostAllocations(), 0);
    EXPECT_EQ(emulatedLiveContexts(), 0);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSgemm_v2), kDeviceIterations);
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

using DeviceLoop = StandInTest;

TEST_F(DeviceLoop, AllocationFailureOfBKeepsAAllocatedAndPrintsNoTime) {
    RunState state;
    ASSERT_EQ(cublasCreate_v2(&state.context), CUBLAS_STATUS_SUCCESS);
    ASSERT_TRUE(fillTestMatrices(&state.host).succeeded);
    emulatedInjectFault(EmulatedOperation::cudaMalloc, 2);
    testing::internal::CaptureStdout();
    const StageResult result = runDeviceLoop(state.context, &state.alpha, &state.beta, state.host, &state.device);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(result.failureMessage, "!!!! device memory allocation error (B)\n");
    EXPECT_NE(state.device.devA, nullptr);
    EXPECT_EQ(state.device.devB, nullptr);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), 1);
}

TEST_F(DeviceLoop, LeavesOneDeviceProductInHostC) {
    RunState state = acquiredRunState();
    // hostC goes up as random data and comes back as the product, whose first element the
    // test data puts at 247.221176 within rounding; the next round trip gives the same bits.
    ASSERT_TRUE(runRoundTrip(state.context, &state.alpha, &state.beta, state.host, state.device).succeeded);
    const float expected = state.host.hostC[0];
    EXPECT_NEAR(expected, 247.221176f, 1e-3f);
    ASSERT_TRUE(runRoundTrip(state.context, &state.alpha, &state.beta, state.host, state.device).succeeded);
    EXPECT_EQ(state.host.hostC[0], expected);
}
