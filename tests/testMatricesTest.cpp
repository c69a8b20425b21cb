// Tests of the test-matrix generator and fill, and of the reference product they lead to.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

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

namespace {

// The four matrices of one shape, filled.
struct FilledMatrices {
    std::vector<float> A;
    std::vector<float> B;
    std::vector<float> C;
    std::vector<float> reference;
};

// Fills matrices of the shape whose every stored float starts as the given value.
FilledMatrices fill(MatrixShape shape, float initial = 0.0f) {
    const std::size_t count = storedElements(shape);
    FilledMatrices made{std::vector<float>(count, initial), std::vector<float>(count, initial),
                        std::vector<float>(count, initial), std::vector<float>(count, initial)};
    fillTestData(shape, made.A.data(), made.B.data(), made.C.data(), made.reference.data());
    return made;
}

// FNV-1a over the bytes of a matrix.
std::uint64_t fingerprint(const std::vector<float>& matrix) {
    std::uint64_t hash = 1469598103934665603ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(matrix.data());
    for (std::size_t i = 0; i < matrix.size() * sizeof(float); ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

}  // namespace

TEST(TestMatricesFill, MatricesDrawInTurnPerLinearIndex) {
    const FilledMatrices host = fill(kTestMatrixShape);
    EXPECT_EQ(host.A[0], 41.0f / 32767.0f);
    EXPECT_EQ(host.B[0], 18467.0f / 32767.0f);
    EXPECT_EQ(host.C[0], 6334.0f / 32767.0f);
    EXPECT_EQ(host.A[1], 26500.0f / 32767.0f);
    EXPECT_EQ(host.B[1], 19169.0f / 32767.0f);
    EXPECT_EQ(host.C[1], 15724.0f / 32767.0f);
}

TEST(TestMatricesFill, ReferenceStartsAsABitCopyOfCAndEveryElementLiesInTheUnitInterval) {
    const FilledMatrices host = fill(kTestMatrixShape);
    EXPECT_EQ(std::memcmp(host.reference.data(), host.C.data(), kMatrixBytes), 0);
    for (const std::vector<float>* matrix : {&host.A, &host.B, &host.C}) {
        for (const float value : *matrix) {
            ASSERT_GE(value, 0.0f);
            ASSERT_LE(value, 1.0f);
        }
    }
}

TEST(TestMatricesFill, TwoFillsAreBitIdentical) {
    const FilledMatrices first = fill(kTestMatrixShape);
    const FilledMatrices second = fill(kTestMatrixShape, 7.0f);
    EXPECT_EQ(first.A, second.A);
    EXPECT_EQ(first.B, second.B);
    EXPECT_EQ(first.C, second.C);
}

TEST(TestMatricesFill, PaddedShapeFillsColumnsInTurnAndLeavesThePaddingAlone) {
    const MatrixShape dense{5, 5};
    const MatrixShape padded{5, 8};
    const FilledMatrices expected = fill(dense);
    const float untouched = -1.0f;
    const FilledMatrices host = fill(padded, untouched);
    for (int j = 0; j < padded.order; ++j) {
        for (int i = 0; i < padded.ld; ++i) {
            const std::size_t index = static_cast<std::size_t>(j) * padded.ld + i;
            const float wanted = i < dense.order ? expected.A[static_cast<std::size_t>(j) * dense.ld + i] : untouched;
            ASSERT_EQ(host.A[index], wanted) << "row " << i << ", column " << j;
        }
    }
}

// The product of the test matrices, computed once by the literal triple loop and pinned here:
// it ties the generator, the fill order and the reference together on every platform.
TEST(TestMatricesFill, ReferenceProductOfTheTestDataHasItsPinnedFingerprint) {
    FilledMatrices host = fill(kTestMatrixShape);
    referenceSgemm(kMatrixOrder, 1.0f, host.A.data(), host.B.data(), 0.0f, host.reference.data());
    EXPECT_EQ(host.reference[0], 247.221176f);
    EXPECT_EQ(fingerprint(host.reference), 0x29889b181e665c91ull);
}
