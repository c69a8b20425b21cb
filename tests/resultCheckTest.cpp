// Tests of the relative-error check and its verdict line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "gpu/emulated/emulatedControl.h"
#include "host/referenceSgemm.h"
#include "host/resultCheck.h"
#include "host/testMatrices.h"

namespace {

// The verdict line checkResult prints, and its result.
struct Verdict {
    StageResult result;
    std::string printed;
};

Verdict verdictOf(const std::vector<float>& result, const std::vector<float>& reference) {
    testing::internal::CaptureStdout();
    const StageResult stage = checkResult(result.data(), reference.data());
    return Verdict{stage, testing::internal::GetCapturedStdout()};
}

std::vector<float> rampMatrix() {
    std::vector<float> matrix(kMatrixElements);
    for (int i = 0; i < kMatrixElements; ++i) {
        matrix[i] = static_cast<float>(i % 1000) / 999.0f;
    }
    return matrix;
}

}  // namespace

TEST(ResultCheck, IdenticalMatricesPass) {
    const std::vector<float> reference = rampMatrix();
    const Verdict verdict = verdictOf(reference, reference);
    EXPECT_TRUE(verdict.result.succeeded);
    EXPECT_EQ(verdict.printed, "PASSED\n");
    EXPECT_EQ(relativeL2Error(reference.data(), reference.data(), kMatrixElements).ratio, 0.0f);
}

TEST(ResultCheck, NanAnywhereFailsTheVerdictButNotTheStage) {
    for (int position : {0, kMatrixElements / 2, kMatrixElements - 1}) {
        const std::vector<float> reference = rampMatrix();
        std::vector<float> result = reference;
        result[position] = std::numeric_limits<float>::quiet_NaN();
        const Verdict verdict = verdictOf(result, reference);
        EXPECT_TRUE(verdict.result.succeeded);
        EXPECT_EQ(verdict.printed, "FAILED\n") << "NaN at " << position;
    }
}

TEST(ResultCheck, AllZeroReferenceIsAFailureWithoutVerdict) {
    const std::vector<float> reference(kMatrixElements, 0.0f);
    const Verdict verdict = verdictOf(rampMatrix(), reference);
    EXPECT_FALSE(verdict.result.succeeded);
    EXPECT_STREQ(verdict.result.failureMessage, "!!!! reference norm is 0\n");
    EXPECT_EQ(verdict.printed, "");
}

TEST(ResultCheck, NanReferenceIsNotAZeroNorm) {
    std::vector<float> reference = rampMatrix();
    reference[7] = std::numeric_limits<float>::quiet_NaN();
    const Verdict verdict = verdictOf(rampMatrix(), reference);
    EXPECT_TRUE(verdict.result.succeeded);
    EXPECT_EQ(verdict.printed, "FAILED\n");
}

TEST(RelativeL2Error, RatioExactlyAtTheThresholdFails) {
    // One element: reference x, result x - 2^-20, so the error norm is exactly 2^-20 and the
    // ratio is 2^-20 / x rounded; look for an x where that lands exactly on the threshold.
    const float difference = std::ldexp(1.0f, -20);
    float x = 0.95f;
    bool found = false;
    for (int step = 0; step < 200000 && !found; ++step, x = std::nextafter(x, 1.0f)) {
        const float result = x - difference;
        const float ratio = relativeL2Error(&result, &x, 1).ratio;
        if (ratio == kPassThreshold) {
            found = true;
            EXPECT_FALSE(relativeErrorPasses(ratio));
        }
    }
    ASSERT_TRUE(found);
    EXPECT_TRUE(relativeErrorPasses(std::nextafter(kPassThreshold, 0.0f)));
}

TEST(RelativeL2Error, SumsRunInIndexOrder) {
    // One large error first, then many small ones that a single-precision sum in index order
    // absorbs completely; summed the other way round they would add up first and count.
    const int elements = 4097;
    std::vector<float> reference(elements, 1.0f);
    std::vector<float> result(elements, 1.0f - std::ldexp(1.0f, -17));
    result[0] = 1.0f - 1.0f / 16.0f;

    float forward = 0.0f;
    float backward = 0.0f;
    for (int i = 0; i < elements; ++i) {
        const float d = reference[i] - result[i];
        forward = forward + d * d;
        const float e = reference[elements - 1 - i] - result[elements - 1 - i];
        backward = backward + e * e;
    }
    ASSERT_NE(forward, backward);
    const float refNorm = static_cast<float>(std::sqrt(static_cast<double>(elements)));
    const float expected = static_cast<float>(std::sqrt(static_cast<double>(forward))) / refNorm;
    EXPECT_EQ(relativeL2Error(result.data(), reference.data(), elements).ratio, expected);
}

class ResultCheckOnTestData : public testing::Test {
protected:
    void SetUp() override {
        emulatedResetFaults();
        ASSERT_TRUE(fillTestMatrices(&host).succeeded);
        referenceSgemm(kMatrixOrder, 1.0f, host.hostA, host.hostB, 0.0f, host.hostRef);
    }
    void TearDown() override {
        emulatedReleaseEverything();
    }
    HostMatrices host;
};

TEST_F(ResultCheckOnTestData, SwappedProductIsCaught) {
    std::vector<float> swapped(kMatrixElements);
    referenceSgemm(kMatrixOrder, 1.0f, host.hostB, host.hostA, 0.0f, swapped.data());
    std::vector<float> reference(host.hostRef, host.hostRef + kMatrixElements);
    EXPECT_EQ(verdictOf(swapped, reference).printed, "FAILED\n");
}

TEST_F(ResultCheckOnTestData, TransposedProductIsCaught) {
    std::vector<float> transposed(kMatrixElements);
    for (int j = 0; j < kMatrixOrder; ++j) {
        for (int i = 0; i < kMatrixOrder; ++i) {
            transposed[j * kMatrixOrder + i] = host.hostRef[i * kMatrixOrder + j];
        }
    }
    std::vector<float> reference(host.hostRef, host.hostRef + kMatrixElements);
    EXPECT_EQ(verdictOf(transposed, reference).printed, "FAILED\n");
}

TEST_F(ResultCheckOnTestData, ProductThatDiffersByRoundingOnlyPasses) {
    // Accumulating in double precision changes every element by rounding alone.
    std::vector<float> rounded(kMatrixElements);
    std::vector<double> column(kMatrixOrder);
    for (int j = 0; j < kMatrixOrder; ++j) {
        std::fill(column.begin(), column.end(), 0.0);
        for (int k = 0; k < kMatrixOrder; ++k) {
            const double b = host.hostB[j * kMatrixOrder + k];
            for (int i = 0; i < kMatrixOrder; ++i) {
                column[i] += static_cast<double>(host.hostA[k * kMatrixOrder + i]) * b;
            }
        }
        for (int i = 0; i < kMatrixOrder; ++i) {
            rounded[j * kMatrixOrder + i] = static_cast<float>(column[i]);
        }
    }
    std::vector<float> reference(host.hostRef, host.hostRef + kMatrixElements);
    const RelativeError error = relativeL2Error(rounded.data(), reference.data(), kMatrixElements);
    EXPECT_GT(error.ratio, 0.0f);
    EXPECT_EQ(verdictOf(rounded, reference).printed, "PASSED\n");
}
