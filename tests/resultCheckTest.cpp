// Tests of the relative-error check and the verdict it returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "host/referenceSgemm.h"
#include "host/resultCheck.h"
#include "host/testMatrices.h"

namespace {

// What checkResult returns, with the verdict as its text; "none" when the stage left the verdict alone.
struct CheckOutcome {
    StageResult result;
    std::string printed;
};

CheckOutcome verdictOf(const std::vector<float>& result, const std::vector<float>& reference,
                       MatrixShape shape = kTestMatrixShape) {
    // Set to each verdict in turn beforehand, so that leaving it alone shows whichever way it started.
    std::string texts[2];
    StageResult stage{};
    const Verdict initial[] = {Verdict::passed, Verdict::failed};
    for (int t = 0; t < 2; ++t) {
        Verdict verdict = initial[t];
        stage = checkResult(shape, result.data(), reference.data(), &verdict);
        texts[t] = verdictText(verdict);
    }
    return CheckOutcome{stage, texts[0] == texts[1] ? texts[0] + "\n" : "none"};
}

// The relative error over n x n elements, or over one element when n is 1.
RelativeError errorOf(const float* result, const float* reference, int n) {
    return relativeL2Error(MatrixShape{n, n}, result, reference);
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
    const CheckOutcome verdict = verdictOf(reference, reference);
    EXPECT_TRUE(verdict.result.succeeded);
    EXPECT_EQ(verdict.printed, "PASSED\n");
    EXPECT_EQ(errorOf(reference.data(), reference.data(), kMatrixOrder).ratio, 0.0f);
}

TEST(ResultCheck, NanAnywhereFailsTheVerdictButNotTheStage) {
    for (int position : {0, kMatrixElements / 2, kMatrixElements - 1}) {
        const std::vector<float> reference = rampMatrix();
        std::vector<float> result = reference;
        result[position] = std::numeric_limits<float>::quiet_NaN();
        const CheckOutcome verdict = verdictOf(result, reference);
        EXPECT_TRUE(verdict.result.succeeded);
        EXPECT_EQ(verdict.printed, "FAILED\n") << "NaN at " << position;
    }
}

TEST(ResultCheck, AllZeroReferenceIsAFailureWithoutVerdict) {
    const std::vector<float> reference(kMatrixElements, 0.0f);
    const CheckOutcome verdict = verdictOf(rampMatrix(), reference);
    EXPECT_FALSE(verdict.result.succeeded);
    EXPECT_STREQ(verdict.result.failureMessage, "!!!! reference norm is 0\n");
    EXPECT_EQ(verdict.printed, "none");
}

TEST(ResultCheck, NanReferenceIsNotAZeroNorm) {
    std::vector<float> reference = rampMatrix();
    reference[7] = std::numeric_limits<float>::quiet_NaN();
    const CheckOutcome verdict = verdictOf(rampMatrix(), reference);
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
        const float ratio = errorOf(&result, &x, 1).ratio;
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
    const int n = 64;
    const int elements = n * n;
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
    EXPECT_EQ(errorOf(result.data(), reference.data(), n).ratio, expected);
}

TEST(ResultCheck, PaddingBetweenColumnsIsNotCompared) {
    const MatrixShape padded{3, 5};
    std::vector<float> reference(storedElements(padded), 1.0f);
    std::vector<float> result = reference;
    for (int j = 0; j < padded.order; ++j) {
        result[static_cast<std::size_t>(j) * padded.ld + 3] = std::numeric_limits<float>::quiet_NaN();
        reference[static_cast<std::size_t>(j) * padded.ld + 4] = 0.0f;
    }
    EXPECT_EQ(verdictOf(result, reference, padded).printed, "PASSED\n");
    result[static_cast<std::size_t>(padded.ld) + 2] = 0.5f;
    EXPECT_EQ(verdictOf(result, reference, padded).printed, "FAILED\n");
}

class ResultCheckOnTestData : public testing::Test {
protected:
    void SetUp() override {
        fillTestData(kTestMatrixShape, hostA.data(), hostB.data(), hostC.data(), hostRef.data());
        referenceSgemm(kMatrixOrder, 1.0f, hostA.data(), hostB.data(), 0.0f, hostRef.data());
        host = HostMatrices{hostA.data(), hostB.data(), hostC.data(), hostRef.data()};
    }
    std::vector<float> hostA = std::vector<float>(kMatrixElements);
    std::vector<float> hostB = std::vector<float>(kMatrixElements);
    std::vector<float> hostC = std::vector<float>(kMatrixElements);
    std::vector<float> hostRef = std::vector<float>(kMatrixElements);
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
    const RelativeError error = errorOf(rounded.data(), reference.data(), kMatrixOrder);
    EXPECT_GT(error.ratio, 0.0f);
    EXPECT_EQ(verdictOf(rounded, reference).printed, "PASSED\n");
}

TEST(RelativeL2Error, KavrelBenchThresholdIsKavrelTestsUpToItsOrderThenGrowsWithTheReferencesRoundingError) {
    EXPECT_EQ(relativeErrorThreshold(1, false), kPassThreshold);
    EXPECT_EQ(relativeErrorThreshold(kMatrixOrder, false), kPassThreshold);
    // Four times the order, twice the reference's random-walk error, twice the threshold.
    EXPECT_FLOAT_EQ(relativeErrorThreshold(4 * kMatrixOrder, false), 2 * kPassThreshold);
    // At the resident workload's order the reference alone errs by 8.7e-7 against double precision: a fixed
    // threshold would leave no margin for the GPU's own rounding.
    EXPECT_GT(relativeErrorThreshold(4096, false), 2 * 8.7e-7f);
    // TF32's bound holds each input's truncation to 10 fraction bits, whatever the order, and widens with it.
    EXPECT_GT(relativeErrorThreshold(1, true), std::ldexp(1.0f, -9));
    EXPECT_LT(relativeErrorThreshold(1000, true), relativeErrorThreshold(4096, true));
    EXPECT_NEAR(relativeErrorThreshold(4096, true), 2.68e-3, 0.01e-3);
    EXPECT_TRUE(relativeErrorPasses(2.0e-3f, relativeErrorThreshold(4096, true)));
    EXPECT_FALSE(relativeErrorPasses(std::nanf(""), relativeErrorThreshold(4096, true)));
}
