// Tests of kavrel-bench's verification of every product and of its reference spread over host threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "companion/productVerifier.h"
#include "companion/sharedReference.h"
#include "host/referenceSgemm.h"
#include "host/testMatrices.h"

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

TEST(ProductVerifier, ChecksTheFirstAgainstTheReferenceAndRecordsLaterMismatches) {
    const std::vector<float> reference = ramp(kSmall, 1.0f);
    std::vector<float> slots[2] = {reference, reference};
    ProductVerifier verifier(kSmall, reference.data(), slots[0].data(), slots[1].data());
    ASSERT_TRUE(verifier.ready());
    for (long iteration = 1; iteration <= 6; ++iteration) {
        const int slot = static_cast<int>(iteration % 2);
        verifier.acquire(slot);
        slots[slot] = reference;
        if (iteration == 4) {
            slots[slot][10] += 3.0f;
            slots[slot][11] += 1.0f;
        }
        verifier.submit(slot, iteration);
    }
    const VerificationSummary summary = verifier.finish();
    EXPECT_TRUE(summary.checkedFirst);
    EXPECT_FALSE(summary.firstError.referenceNormIsZero);
    EXPECT_EQ(summary.firstError.ratio, 0.0f);
    EXPECT_EQ(summary.verifiedProducts, 6);
    EXPECT_EQ(summary.mismatchCount, 1);
    ASSERT_EQ(summary.mismatches.size(), 1u);
    EXPECT_EQ(summary.mismatches[0].iteration, 4);
    EXPECT_EQ(summary.mismatches[0].differingElements, 2);
    EXPECT_EQ(summary.mismatches[0].largestDifference, 3.0);
}

TEST(ProductVerifier, AWrongFirstProductFailsTheCheckAndLaterOnesAreComparedWithIt) {
    const std::vector<float> reference = ramp(kSmall, 1.0f);
    const std::vector<float> wrong = ramp(kSmall, 2.0f);
    std::vector<float> slots[2] = {wrong, wrong};
    ProductVerifier verifier(kSmall, reference.data(), slots[0].data(), slots[1].data());
    for (long iteration = 1; iteration <= 3; ++iteration) {
        verifier.acquire(static_cast<int>(iteration % 2));
        verifier.submit(static_cast<int>(iteration % 2), iteration);
    }
    const VerificationSummary summary = verifier.finish();
    EXPECT_FALSE(relativeErrorPasses(summary.firstError.ratio));
    EXPECT_EQ(summary.mismatchCount, 0);
    EXPECT_EQ(summary.verifiedProducts, 3);
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
