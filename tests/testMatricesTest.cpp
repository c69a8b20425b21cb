// Tests of the test-matrix generator and fill.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"
#include "host/referenceSgemm.h"
#include "host/testMatrices.h"
#include "host/testRandom.h"

TEST(TestRandom, FirstDrawsMatchTheWindowsRuntime) {
    const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    std::uint32_t state = kTestRandomInitialState;
    for (int draw : expected) {
        EXPECT_EQ(nextTestRandom(&state), draw);
    }
}

TEST(TestRandom, StaysWithinItsRangeOverALongRun) {
    std::uint32_t state = kTestRandomInitialState;
    int lowest = kRandMax;
    int highest = 0;
    for (int i = 0; i < 3 * kMatrixElements; ++i) {
        const int draw = nextTestRandom(&state);
        lowest = draw < lowest ? draw : lowest;
        highest = draw > highest ? draw : highest;
    }
    EXPECT_EQ(lowest, 0);
    EXPECT_EQ(highest, kRandMax);
}

class TestMatricesFill : public testing::Test {
protected:
    void SetUp() override {
        emulatedResetFaults();
    }
    void TearDown() override {
        emulatedReleaseEverything();
    }
};

TEST_F(TestMatricesFill, MatricesDrawInTurnPerLinearIndex) {
    HostMatrices host;
    ASSERT_TRUE(fillTestMatrices(&host).succeeded);
    EXPECT_EQ(host.hostA[0], 41.0f / 32767.0f);
    EXPECT_EQ(host.hostB[0], 18467.0f / 32767.0f);
    EXPECT_EQ(host.hostC[0], 6334.0f / 32767.0f);
    EXPECT_EQ(host.hostA[1], 26500.0f / 32767.0f);
    EXPECT_EQ(host.hostB[1], 19169.0f / 32767.0f);
    EXPECT_EQ(host.hostC[1], 15724.0f / 32767.0f);
}

TEST_F(TestMatricesFill, ReferenceStartsAsABitCopyOfCAndEveryElementLiesInTheUnitInterval) {
    HostMatrices host;
    ASSERT_TRUE(fillTestMatrices(&host).succeeded);
    EXPECT_EQ(std::memcmp(host.hostRef, host.hostC, kMatrixBytes), 0);
    for (const float* matrix : {host.hostA, host.hostB, host.hostC}) {
        for (int i = 0; i < kMatrixElements; ++i) {
            ASSERT_GE(matrix[i], 0.0f);
            ASSERT_LE(matrix[i], 1.0f);
        }
    }
}

TEST_F(TestMatricesFill, TwoFillsAreBitIdentical) {
    HostMatrices first;
    HostMatrices second;
    ASSERT_TRUE(fillTestMatrices(&first).succeeded);
    ASSERT_TRUE(fillTestMatrices(&second).succeeded);
    EXPECT_EQ(std::memcmp(first.hostA, second.hostA, kMatrixBytes), 0);
    EXPECT_EQ(std::memcmp(first.hostB, second.hostB, kMatrixBytes), 0);
    EXPECT_EQ(std::memcmp(first.hostC, second.hostC, kMatrixBytes), 0);
}

TEST_F(TestMatricesFill, FailedAllocationStopsBeforeFillingAndKeepsWhatItGot) {
    const char* const messages[] = {
        "!!!! host memory allocation error (A)\n", "!!!! host memory allocation error (B)\n",
        "!!!! host memory allocation error (C)\n", "!!!! host memory allocation error (reference)\n"};
    for (int failing = 1; failing <= 4; ++failing) {
        emulatedReleaseEverything();
        emulatedResetFaults();
        emulatedInjectFault(EmulatedOperation::cudaHostAlloc, failing);
        HostMatrices host;
        const StageResult result = fillTestMatrices(&host);
        EXPECT_FALSE(result.succeeded);
        EXPECT_STREQ(result.failureMessage, messages[failing - 1]);
        EXPECT_EQ(emulatedLiveHostAllocations(), failing - 1);
        EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaHostAlloc), failing);
    }
}

// FNV-1a over the bytes of a matrix.
static std::uint64_t fingerprint(const float* matrix) {
    std::uint64_t hash = 1469598103934665603ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(matrix);
    for (std::size_t i = 0; i < kMatrixBytes; ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

// The product of the test matrices, computed once by the literal triple loop and pinned here:
// it ties the generator, the fill order and the reference together on every platform.
TEST_F(TestMatricesFill, ReferenceProductOfTheTestDataHasItsPinnedFingerprint) {
    HostMatrices host;
    ASSERT_TRUE(fillTestMatrices(&host).succeeded);
    referenceSgemm(kMatrixOrder, 1.0f, host.hostA, host.hostB, 0.0f, host.hostRef);
    EXPECT_EQ(host.hostRef[0], 247.221176f);
    EXPECT_EQ(fingerprint(host.hostRef), 0x29889b181e665c91ull);
}
