// Verification of every downloaded product on a host thread of its own, off the timed path.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/matrix.h"
#include "host/resultCheck.h"

// Mismatches kept with their details; every mismatch is counted.
constexpr std::size_t kRecordedMismatches = 100;

// A product whose bits differ from the device's first product.
struct Mismatch {
    long iteration;            // the timed round trip it came from, counting from 1
    long differingElements;    // elements whose bits differ
    double largestDifference;  // the largest absolute difference among them; NaN when a NaN is involved
};

// What the verification of one device's products found.
struct VerificationSummary {
    bool checkedFirst = false;         // at least one product arrived
    RelativeError firstError{};        // the first product against the host reference
    long verifiedProducts = 0;         // products compared, the first one included
    long mismatchCount = 0;            // later products that differ from the first
    std::vector<Mismatch> mismatches;  // the first kRecordedMismatches of them
};

// Compares product with first over the order x order elements of the shape, bit for bit. Returns how many
// elements differ and sets largestDifference to their largest absolute difference (NaN when a NaN is among them,
// 0 when none differ).
long compareProducts(MatrixShape shape, const float* first, const float* product, double* largestDifference);

// Checks products as the timed loop downloads them into two buffers in turn: the first against the host
// reference by relative L2 error, every later one bit for bit against the first. The loop acquires a buffer
// before downloading into it and submits it afterwards; the comparison runs on the verifier's own thread.
class ProductVerifier {
public:
    // shape and reference (the host reference product) outlive the verifier; slots are the two result buffers.
    ProductVerifier(MatrixShape shape, const float* reference, float* slot0, float* slot1);
    ~ProductVerifier();
    ProductVerifier(const ProductVerifier&) = delete;
    ProductVerifier& operator=(const ProductVerifier&) = delete;

    // Whether the copy of the first product could be allocated; a verifier that is not ready checks nothing.
    bool ready() const;

    // Blocks until the slot (0 or 1) holds no product waiting to be checked.
    void acquire(int slot);

    // Hands the product just downloaded into slot, from timed round trip iteration, to the verifier.
    void submit(int slot, long iteration);

    // Waits until every submitted product is checked, stops the thread and returns what it found.
    VerificationSummary finish();

private:
    void work();
    void check(const float* product, long iteration);

    MatrixShape shape_;
    const float* reference_;
    float* slots_[2];
    std::unique_ptr<float[]> first_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<int, long>> pending_;  // slot and iteration, in the order submitted
    bool busy_[2] = {false, false};             // submitted and not yet checked
    bool stopping_ = false;
    VerificationSummary summary_;
    std::thread thread_;
};
