// Tests of kavrel-bench's verification of every product and of its reference spread over host threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <thread>
#include <vector>

#include "bench/productVerifier.h"
#include "bench/sharedReference.h"
#include "host/referenceSgemm.h"
#include "host/testMatrices.h"

namespace bench {

namespace {

const MatrixShape kSmall{37, 40};

// A product-sized buffer whose order x order elements count up from start, padding left at -1.
std::vector<float> ramp(MatrixShape shape, float start) {
    std::vector<float> values(storedElements(shape), -1.0f);
    for (int j = 0; j < shape.order; ++j) {
        for (int i = 0; i < shape.order; ++i) {
            values[static_cast<std::size_t>(j) * shape.ld + i] = start + static_cast<float>(j * shape.order + i);
        }
    }
    return values;
}

}  // namespace

TEST(CompareProducts, CountsDifferingElementsAndTheLargestDifferenceIgnoringPadding) {
    const std::vector<float> first = ramp(kSmall, 1.0f);
    std::vector<float> product = first;
    double largest = -1.0;
    EXPECT_EQ(compareProducts(kSmall, first.data(), product.data(), &largest), 0);
    EXPECT_EQ(largest, 0.0);

    product[kSmall.ld - 1] = 99.0f;  // padding of column 0
    product[3] += 0.5f;
    product[static_cast<std::size_t>(kSmall.ld) * 5 + 7] -= 2.0f;
    EXPECT_EQ(compareProducts(kSmall, first.data(), product.data(), &largest), 2);
    EXPECT_EQ(largest, 2.0);

    // -0 and +0 compare equal as numbers but not as bits, and a NaN makes the largest difference NaN.
    std::vector<float> zeros(storedElements(kSmall), 0.0f);
    std::vector<float> negative = zeros;
    negative[0] = -0.0f;
    negative[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(compareProducts(kSmall, zeros.data(), negative.data(), &largest), 2);
    EXPECT_TRUE(std::isnan(largest));
}

TEST(ProductVerifier, ChecksTheFirstAgainstTheReferenceAndLaterOnesBitForBit) {
    const std::vector<float> reference = ramp(kSmall, 1.0f);
    std::vector<float> buffers[2] = {reference, reference};
    ProductVerifier verifier(kSmall, reference.data(), buffers[0].data(), buffers[1].data());
    ASSERT_TRUE(verifier.ready());
    for (long iteration = 1; iteration <= 6; ++iteration) {
        float* buffer = verifier.acquire();
        std::copy(reference.begin(), reference.end(), buffer);
        if (iteration == 4) {
            buffer[10] += 3.0f;
            buffer[11] += 1.0f;
        }
        verifier.submit(buffer, iteration);
    }
    const VerificationSummary summary = verifier.finish();
    EXPECT_TRUE(summary.checkedFirst);
    EXPECT_FALSE(summary.firstError.referenceNormIsZero);
    EXPECT_EQ(summary.firstError.ratio, 0.0f);
    EXPECT_EQ(summary.yardstickIteration, 1);
    EXPECT_EQ(summary.verifiedProducts, 6);
    EXPECT_EQ(summary.mismatchCount, 1);
    ASSERT_EQ(summary.mismatches.size(), 1u);
    EXPECT_EQ(summary.mismatches[0].iteration, 4);
    EXPECT_FALSE(summary.mismatches[0].againstReference);
    EXPECT_EQ(summary.mismatches[0].differingElements, 2);
    EXPECT_EQ(summary.mismatches[0].largestDifference, 3.0);
}

// A run of products, one letter each: R right, N holding a NaN (fails the reference check), E right within the
// check's threshold but for one element a unit off in its last place, so that it passes the check and differs from R
// bit for bit; and which iterations the verifier must name as wrong, and which becomes the yardstick.
struct ProductRun {
    const char* products;
    std::vector<long> wrong;
    std::vector<bool> againstReference;  // for each wrong product
    long yardstick;
};

void PrintTo(const ProductRun& run, std::ostream* out) {
    *out << run.products;
}

class YardstickRule : public testing::TestWithParam<ProductRun> {};

TEST_P(YardstickRule, NamesOnlyTheWrongProducts) {
    const std::vector<float> reference = ramp(kSmall, 1.0f);
    std::vector<float> buffers[2] = {reference, reference};
    ProductVerifier verifier(kSmall, reference.data(), buffers[0].data(), buffers[1].data());
    long iteration = 0;
    for (const char* kind = GetParam().products; *kind != '\0'; ++kind) {
        float* buffer = verifier.acquire();
        std::copy(reference.begin(), reference.end(), buffer);
        if (*kind == 'N') {
            buffer[5] = std::numeric_limits<float>::quiet_NaN();
        } else if (*kind == 'E') {
            buffer[5] = std::nextafter(buffer[5], 1e9f);
        }
        verifier.submit(buffer, ++iteration);
    }
    const VerificationSummary summary = verifier.finish();
    EXPECT_EQ(summary.yardstickIteration, GetParam().yardstick);
    EXPECT_EQ(summary.mismatchCount, static_cast<long>(GetParam().wrong.size()));
    std::vector<long> wrong;
    std::vector<bool> againstReference;
    for (const Mismatch& mismatch : summary.mismatches) {
        wrong.push_back(mismatch.iteration);
        againstReference.push_back(mismatch.againstReference);
    }
    EXPECT_EQ(wrong, GetParam().wrong);
    EXPECT_EQ(againstReference, GetParam().againstReference);
    EXPECT_EQ(summary.verifiedProducts, iteration);
}

INSTANTIATE_TEST_SUITE_P(
    ProductVerifier, YardstickRule,
    testing::Values(ProductRun{"RRRR", {}, {}, 1},
                    // A wrong first product is the one wrong product; the first right one after it is the yardstick.
                    ProductRun{"NRRRR", {1}, {true}, 2}, ProductRun{"NNRE", {1, 2, 4}, {true, true, false}, 3},
                    ProductRun{"RNRE", {2, 4}, {false, false}, 1},
                    ProductRun{"NNNN", {1, 2, 3, 4}, {true, true, true, true}, 0},
                    // A first product within the threshold is the yardstick, even when it is the odd one out.
                    ProductRun{"ERR", {2, 3}, {false, false}, 1}));

TEST(ProductVerifier, HandsEachBufferToOneHolderAtATime) {
    const std::vector<float> reference = ramp(kSmall, 1.0f);
    std::vector<float> buffers[2] = {reference, reference};
    ProductVerifier verifier(kSmall, reference.data(), buffers[0].data(), buffers[1].data());
    float* first = verifier.acquire();
    float* second = verifier.acquire();
    EXPECT_NE(first, second);
    std::atomic<float*> third{nullptr};
    std::thread waiting([&] { third = verifier.acquire(); });
    // Both buffers are held, so the third acquire waits however long this takes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(third.load(), nullptr);
    verifier.release(second);
    waiting.join();
    EXPECT_EQ(third.load(), second);
    verifier.submit(first, 1);
    verifier.release(third.load());
    const VerificationSummary summary = verifier.finish();
    EXPECT_EQ(summary.verifiedProducts, 1) << "a released buffer is not checked";
}

TEST(ParallelReference, AnyNumberOfThreadsGivesTheBitsOfOneCall) {
    const MatrixShape shape{131, 133};
    const std::size_t count = storedElements(shape);
    std::vector<float> A(count), B(count), C(count), expected(count);
    fillTestData(shape, A.data(), B.data(), C.data(), expected.data());
    const std::vector<float> initialC = expected;
    referenceSgemm(shape, 1.0f, A.data(), B.data(), 0.0f, expected.data());
    for (int threads : {1, 2, 3, 7, 200}) {
        std::vector<float> C2 = initialC;
        parallelReferenceSgemm(shape, 1.0f, A.data(), B.data(), 0.0f, C2.data(), threads);
        EXPECT_EQ(std::memcmp(C2.data(), expected.data(), count * sizeof(float)), 0) << threads << " threads";
    }
    const std::unique_ptr<float[]> shared = computeSharedReference(shape, 1.0f, 0.0f);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(std::memcmp(shared.get(), expected.data(), count * sizeof(float)), 0);
}

}  // namespace bench
