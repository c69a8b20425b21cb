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

namespace bench {

// Wrong products kept with their details; every wrong product is counted.
constexpr std::size_t kRecordedMismatches = 100;

// A wrong product: one that failed the host reference check while no product had passed it, or, once one had,
// whose bits differ from that product's.
struct Mismatch {
    long iteration;            // the timed round trip it came from, counting from 1
    bool againstReference;     // judged by relative L2 error against the host reference, not bit for bit
    long differingElements;    // elements whose bits differ from the yardstick; 0 when judged against the reference
    double largestDifference;  // the largest absolute difference from the yardstick or the reference; NaN when a NaN
                               // is involved
    float relativeError;       // against the reference, when judged against it; NaN when the product holds a NaN
    bool deviceCheckOnly;      // the device's own comparison found a difference the downloaded product does not show
                               // (the comparison itself computed wrongly); differingElements is then 0
};

// What the verification of one device's products found.
struct VerificationSummary {
    bool checkedFirst = false;         // at least one product arrived
    float threshold = kPassThreshold;  // of the relative L2 error against the host reference
    RelativeError firstError{};        // the first product against the host reference
    long yardstickIteration = 0;       // the product every later one is compared with bit for bit; 0 when none passed
    long verifiedProducts = 0;         // products checked, the first one included
    long mismatchCount = 0;            // wrong products, the first one included when it was wrong
    std::vector<Mismatch> mismatches;  // the first kRecordedMismatches of them
};

// Compares product with first over the order x order elements of the shape, bit for bit. Returns how many
// elements differ and sets largestDifference to their largest absolute difference (NaN when a NaN is among them,
// 0 when none differ).
long compareProducts(MatrixShape shape, const float* first, const float* product, double* largestDifference);

// The largest absolute difference between product and reference over the shape's elements; NaN when a NaN is among
// them.
double largestDifference(MatrixShape shape, const float* reference, const float* product);

// Judges the product of the iteration against the host reference while no product has passed, recording into
// summary the first product's error and, when it fails, its mismatch. True when it passed: the caller keeps it as
// the yardstick. Only for a summary whose yardstickIteration is 0.
bool judgeAgainstReference(MatrixShape shape, const float* reference, const float* product, long iteration,
                           VerificationSummary* summary);

// Counts a wrong product in summary, keeping its details when fewer than kRecordedMismatches are kept.
void recordMismatch(const Mismatch& mismatch, VerificationSummary* summary);

// Checks products as the timed loop downloads them. Products are judged against the host reference by relative L2
// error until one passes; that one becomes the yardstick, and every later product is compared with it bit for bit
// (a correct GPU running the same call on the same data gives the same bits every time). A wrong first product is
// thus counted once, as the wrong product it is, and never blamed on the right ones after it.
//
// The verifier owns the result buffers' hand-over: the loop acquires a buffer, which no other thread reads until the
// loop hands it back, downloads into it, and then submits it to be checked or releases it unchecked. So no download
// ever lands in a buffer that is being read, whatever is checked.
class ProductVerifier {
public:
    // shape and reference (the host reference product) outlive the verifier; buffers are the two result buffers;
    // threshold is the relative L2 error a product must stay below against the reference.
    ProductVerifier(MatrixShape shape, const float* reference, float* buffer0, float* buffer1,
                    float threshold = kPassThreshold);
    ~ProductVerifier();
    ProductVerifier(const ProductVerifier&) = delete;
    ProductVerifier& operator=(const ProductVerifier&) = delete;

    // Whether the copy of the yardstick could be allocated; a verifier that is not ready checks nothing.
    bool ready() const;

    // Blocks until a result buffer is free, and hands it to the caller, who owns it until submit or release.
    float* acquire();

    // Hands buffer, which the caller acquired and downloaded the product of timed round trip iteration into, to be
    // checked on the verifier's thread.
    void submit(float* buffer, long iteration);

    // Hands buffer back unchecked.
    void release(float* buffer);

    // Waits until every submitted product is checked, stops the thread and returns what it found.
    VerificationSummary finish();

private:
    enum class BufferState { free, held, queued };

    int slotOf(const float* buffer) const;
    void work();
    void check(const float* product, long iteration);

    MatrixShape shape_;
    const float* reference_;
    float* buffers_[2];
    BufferState states_[2] = {BufferState::free, BufferState::free};
    std::unique_ptr<float[]> yardstick_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<int, long>> pending_;  // buffer slot and iteration, in the order submitted
    bool stopping_ = false;
    VerificationSummary summary_;
    std::thread thread_;
};

}  // namespace bench
