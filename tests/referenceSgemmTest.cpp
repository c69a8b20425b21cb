// Bit-for-bit checks of the host reference SGEMM, on every kernel this processor runs, against the literal loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "host/referenceKernels.h"
#include "host/referenceSgemm.h"
#include "support/literalSgemm.h"

namespace {

const ReferenceKernel kAllKernels[] = {ReferenceKernel::portable, ReferenceKernel::avx2, ReferenceKernel::avx512};

// Deterministic pseudo-random floats: uniform in [0, 1) like the program's, or, when mixed, of either sign with
// magnitudes from 2^-12 to 2^13, so that adding the products in any other order changes the rounded sum.
std::vector<float> makeMatrix(std::size_t count, std::uint32_t seed, bool mixed) {
    std::vector<float> values(count);
    std::uint32_t state = seed;
    for (float& value : values) {
        state = state * 1664525u + 1013904223u;
        const float unit = static_cast<float>(state >> 8) * (1.0f / 16777216.0f);
        const int exponent = static_cast<int>((state >> 3) % 25) - 12;
        const float magnitude = std::ldexp(1.0f + unit, exponent);
        value = !mixed ? unit : (state & 1u) != 0 ? -magnitude : magnitude;
    }
    return values;
}

// Empty when both hold the same bits, else where and how the first element differs (ld: leading dimension).
std::string firstBitDifference(const std::vector<float>& expected, const std::vector<float>& actual, int ld) {
    for (std::size_t index = 0; index < expected.size(); ++index) {
        if (std::memcmp(&expected[index], &actual[index], sizeof(float)) != 0) {
            return "row " + std::to_string(index % ld) + ", column " + std::to_string(index / ld) + ": expected " +
                   std::to_string(expected[index]) + ", got " + std::to_string(actual[index]);
        }
    }
    return "";
}

// How A and B are filled and what alpha and beta are. C always starts as finite garbage of both signs.
enum class Operands { unitIntervalAlphaOneBetaZero, mixedSignsAndExponents };

struct LiteralProblem {
    float alpha;
    float beta;
    std::vector<float> A;
    std::vector<float> B;
    std::vector<float> initialC;
    std::vector<float> expectedC;  // what the literal loop leaves in C
};

// Built once per process and shared by every kernel, as the literal loop is the slow part of these tests.
const LiteralProblem& literalProblem(int n, Operands operands) {
    static std::map<std::pair<int, Operands>, LiteralProblem> cache;
    const auto key = std::make_pair(n, operands);
    const auto known = cache.find(key);
    if (known != cache.end()) {
        return known->second;
    }
    const std::size_t count = static_cast<std::size_t>(n) * n;
    const bool mixed = operands == Operands::mixedSignsAndExponents;
    const auto seed = static_cast<std::uint32_t>(n);
    LiteralProblem problem;
    problem.alpha = mixed ? -0.7f : 1.0f;
    problem.beta = mixed ? 1.3f : 0.0f;
    problem.A = makeMatrix(count, seed, mixed);
    problem.B = makeMatrix(count, ~seed, mixed);
    problem.initialC = makeMatrix(count, seed * 7u, true);
    problem.expectedC = problem.initialC;
    literalSgemm(n, problem.alpha, problem.A.data(), problem.B.data(), problem.beta, problem.expectedC.data());
    return cache.emplace(key, std::move(problem)).first->second;
}

// Every size next to a blocking edge of some kernel, a few small and odd ones, and the program's order.
std::vector<int> sizesAroundEveryEdge() {
    std::vector<int> sizes = {1, 2, 7, 15, 16, 17, 33, 257, 1000};
    for (int edge : {kPortableMr, kPortableNr, kAvx2Mr, kAvx2Nr, kAvx512Mr, kAvx512Nr, kKc, kMc, kNc}) {
        sizes.insert(sizes.end(), {edge - 1, edge, edge + 1});
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

using ShapeCase = std::tuple<ReferenceKernel, int, Operands>;

class ReferenceSgemmShapes : public testing::TestWithParam<ShapeCase> {};

TEST_P(ReferenceSgemmShapes, MatchesLiteralLoopBitForBit) {
    const ReferenceKernel kernel = std::get<0>(GetParam());
    const int n = std::get<1>(GetParam());
    if (!referenceKernelAvailable(kernel)) {
        GTEST_SKIP() << "this processor does not run the " << referenceKernelName(kernel) << " kernel";
    }
    const LiteralProblem& problem = literalProblem(n, std::get<2>(GetParam()));
    std::vector<float> C = problem.initialC;
    referenceSgemmWithKernel(kernel, n, problem.alpha, problem.A.data(), problem.B.data(), problem.beta, C.data());
    EXPECT_EQ(firstBitDifference(problem.expectedC, C, n), "");
}

INSTANTIATE_TEST_SUITE_P(EveryKernelAndEdge, ReferenceSgemmShapes,
                         testing::Combine(testing::ValuesIn(kAllKernels), testing::ValuesIn(sizesAroundEveryEdge()),
                                          testing::Values(Operands::unitIntervalAlphaOneBetaZero,
                                                          Operands::mixedSignsAndExponents)),
                         [](const testing::TestParamInfo<ShapeCase>& info) {
                             const bool mixed = std::get<2>(info.param) == Operands::mixedSignsAndExponents;
                             return std::string(referenceKernelName(std::get<0>(info.param))) + "_n" +
                                    std::to_string(std::get<1>(info.param)) +
                                    (mixed ? "_mixedSignsAndExponents" : "_unitIntervalAlphaOneBetaZero");
                         });

TEST(ReferenceSgemm, RunsAnAvailableKernelAndMatchesLiteralLoop) {
    EXPECT_TRUE(referenceKernelAvailable(ReferenceKernel::portable));
    EXPECT_TRUE(referenceKernelAvailable(selectedReferenceKernel()));

    const int n = kKc + 1;
    const LiteralProblem& problem = literalProblem(n, Operands::mixedSignsAndExponents);
    std::vector<float> C = problem.initialC;
    referenceSgemm(n, problem.alpha, problem.A.data(), problem.B.data(), problem.beta, C.data());
    EXPECT_EQ(firstBitDifference(problem.expectedC, C, n), "");
}

TEST(ReferenceSgemm, ReadsCEvenWhenBetaIsZero) {
    const int n = kAvx512Mr + 3;
    const std::size_t count = static_cast<std::size_t>(n) * n;
    const std::vector<float> A = makeMatrix(count, 5u, false);
    const std::vector<float> B = makeMatrix(count, 6u, false);
    std::vector<float> initialC = makeMatrix(count, 7u, true);
    initialC[3] = std::nanf("");
    initialC[count / 2] = INFINITY;
    initialC[count - 1] = -INFINITY;
    std::vector<float> expectedC = initialC;
    literalSgemm(n, 1.0f, A.data(), B.data(), 0.0f, expectedC.data());
    ASSERT_TRUE(std::isnan(expectedC[3]) && std::isnan(expectedC[count / 2]) && std::isnan(expectedC[count - 1]));

    for (ReferenceKernel kernel : kAllKernels) {
        if (referenceKernelAvailable(kernel)) {
            std::vector<float> C = initialC;
            referenceSgemmWithKernel(kernel, n, 1.0f, A.data(), B.data(), 0.0f, C.data());
            EXPECT_EQ(firstBitDifference(expectedC, C, n), "") << referenceKernelName(kernel);
        }
    }
}

TEST(ReferenceSgemm, ShapeWithPaddingMatchesLiteralLoopAndLeavesThePaddingAlone) {
    const MatrixShape shape{kAvx512Mr + 5, kAvx512Mr + 9};
    const std::size_t count = storedElements(shape);
    const std::vector<float> A = makeMatrix(count, 51u, true);
    const std::vector<float> B = makeMatrix(count, 52u, true);
    const std::vector<float> initialC = makeMatrix(count, 53u, true);
    std::vector<float> expectedC = initialC;
    literalSgemm(shape.order, shape.order, shape.order, 1.0f, A.data(), shape.ld, B.data(), shape.ld, 0.0f,
                 expectedC.data(), shape.ld);
    std::vector<float> C = initialC;
    referenceSgemm(shape, 1.0f, A.data(), B.data(), 0.0f, C.data());
    EXPECT_EQ(firstBitDifference(expectedC, C, shape.ld), "");
}

TEST(ReferenceSgemm, CallsOnSeveralThreadsRunTogetherWithoutDisturbingEachOther) {
    // Each thread multiplies its own operands, so scratch shared between calls would mix their panels.
    const int n = kMc + 7;
    const LiteralProblem& mixed = literalProblem(n, Operands::mixedSignsAndExponents);
    const LiteralProblem& unit = literalProblem(n, Operands::unitIntervalAlphaOneBetaZero);
    const LiteralProblem* problems[] = {&mixed, &unit, &mixed, &unit};
    std::vector<std::vector<float>> results;
    for (const LiteralProblem* problem : problems) {
        results.push_back(problem->initialC);
    }
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            const LiteralProblem& problem = *problems[t];
            for (int repeat = 0; repeat < 2; ++repeat) {
                results[t] = problem.initialC;
                referenceSgemm(n, problem.alpha, problem.A.data(), problem.B.data(), problem.beta, results[t].data());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t t = 0; t < results.size(); ++t) {
        EXPECT_EQ(firstBitDifference(problems[t]->expectedC, results[t], n), "") << "thread " << t;
    }
}

TEST(BlockedSgemm, KeepsRectangularShapesAndLeadingDimensionsApart) {
    // Each dimension crosses a different edge, and the rows between m and ldc must keep what they held.
    const int m = kMc + kAvx512Mr + 5;
    const int n = kAvx512Nr + 3;
    const int k = kKc + 7;
    const int lda = m + 3;
    const int ldb = k + 5;
    const int ldc = m + 2;
    const std::vector<float> A = makeMatrix(static_cast<std::size_t>(lda) * k, 41u, true);
    const std::vector<float> B = makeMatrix(static_cast<std::size_t>(ldb) * n, 42u, true);
    const std::vector<float> initialC = makeMatrix(static_cast<std::size_t>(ldc) * n, 43u, true);
    std::vector<float> expectedC = initialC;
    literalSgemm(m, n, k, 0.5f, A.data(), lda, B.data(), ldb, -2.0f, expectedC.data(), ldc);

    for (ReferenceKernel kernel : kAllKernels) {
        if (referenceKernelAvailable(kernel)) {
            std::vector<float> C = initialC;
            blockedSgemm(referenceKernelShape(kernel), m, n, k, 0.5f, A.data(), lda, B.data(), ldb, -2.0f, C.data(),
                         ldc);
            EXPECT_EQ(firstBitDifference(expectedC, C, ldc), "") << referenceKernelName(kernel);
        }
    }
}

}  // namespace
