// The verifier's thread, its hand-over of the result buffers, and its comparisons with the reference or yardstick.
#include "bench/productVerifier.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace bench {

namespace {

// A float's bits, so that -0 and +0 differ and a NaN equals itself.
std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Keeps the larger of two differences, a NaN once one is seen.
double largerDifference(double largest, double difference) {
    if (std::isnan(largest) || std::isnan(difference)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return difference > largest ? difference : largest;
}

// An empty summary of products to be judged at the threshold.
VerificationSummary summaryJudgedBy(float threshold) {
    VerificationSummary summary;
    summary.threshold = threshold;
    return summary;
}

}  // namespace

long compareProducts(MatrixShape shape, const float* first, const float* product, double* largestDifference) {
    long differing = 0;
    double largest = 0.0;
    const std::size_t columnBytes = static_cast<std::size_t>(shape.order) * sizeof(float);
    for (int j = 0; j < shape.order; ++j) {
        const std::size_t column = static_cast<std::size_t>(j) * static_cast<std::size_t>(shape.ld);
        // Equal columns, the usual case, cost one memcmp.
        if (std::memcmp(first + column, product + column, columnBytes) == 0) {
            continue;
        }
        for (int i = 0; i < shape.order; ++i) {
            const float a = first[column + static_cast<std::size_t>(i)];
            const float b = product[column + static_cast<std::size_t>(i)];
            if (bitsOf(a) == bitsOf(b)) {
                continue;
            }
            ++differing;
            largest = largerDifference(largest, std::fabs(static_cast<double>(a) - static_cast<double>(b)));
        }
    }
    *largestDifference = largest;
    return differing;
}

double largestDifference(MatrixShape shape, const float* reference, const float* product) {
    double largest = 0.0;
    for (int j = 0; j < shape.order; ++j) {
        const std::size_t column = static_cast<std::size_t>(j) * static_cast<std::size_t>(shape.ld);
        for (int i = 0; i < shape.order; ++i) {
            const std::size_t index = column + static_cast<std::size_t>(i);
            largest = largerDifference(
                largest, std::fabs(static_cast<double>(reference[index]) - static_cast<double>(product[index])));
        }
    }
    return largest;
}

bool judgeAgainstReference(MatrixShape shape, const float* reference, const float* product, long iteration,
                           VerificationSummary* summary) {
    const RelativeError error = relativeL2Error(shape, product, reference);
    if (!summary->checkedFirst) {
        summary->checkedFirst = true;
        summary->firstError = error;
    }
    if (!error.referenceNormIsZero && relativeErrorPasses(error.ratio, summary->threshold)) {
        summary->yardstickIteration = iteration;
        return true;
    }
    recordMismatch(Mismatch{iteration, true, 0, largestDifference(shape, reference, product), error.ratio, false},
                   summary);
    return false;
}

void recordMismatch(const Mismatch& mismatch, VerificationSummary* summary) {
    ++summary->mismatchCount;
    if (summary->mismatches.size() < kRecordedMismatches) {
        summary->mismatches.push_back(mismatch);
    }
}

ProductVerifier::ProductVerifier(MatrixShape shape, const float* reference, float* buffer0, float* buffer1,
                                 float threshold)
    : shape_(shape),
      reference_(reference),
      buffers_{buffer0, buffer1},
      yardstick_(new (std::nothrow) float[storedElements(shape)]),
      summary_(summaryJudgedBy(threshold)),
      thread_(&ProductVerifier::work, this) {}

ProductVerifier::~ProductVerifier() {
    finish();
}

bool ProductVerifier::ready() const {
    return yardstick_ != nullptr;
}

int ProductVerifier::slotOf(const float* buffer) const {
    return buffer == buffers_[0] ? 0 : 1;
}

float* ProductVerifier::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return states_[0] == BufferState::free || states_[1] == BufferState::free; });
    const int slot = states_[0] == BufferState::free ? 0 : 1;
    states_[slot] = BufferState::held;
    return buffers_[slot];
}

void ProductVerifier::submit(float* buffer, long iteration) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const int slot = slotOf(buffer);
        states_[slot] = BufferState::queued;
        pending_.emplace_back(slot, iteration);
    }
    changed_.notify_all();
}

void ProductVerifier::release(float* buffer) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        states_[slotOf(buffer)] = BufferState::free;
    }
    changed_.notify_all();
}

VerificationSummary ProductVerifier::finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    return summary_;
}

void ProductVerifier::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;
        }
        const auto [slot, iteration] = pending_.front();
        pending_.pop_front();
        lock.unlock();
        check(buffers_[slot], iteration);
        lock.lock();
        states_[slot] = BufferState::free;
        changed_.notify_all();
    }
}

void ProductVerifier::check(const float* product, long iteration) {
    if (yardstick_ == nullptr) {
        return;
    }
    ++summary_.verifiedProducts;
    if (summary_.yardstickIteration == 0) {
        if (judgeAgainstReference(shape_, reference_, product, iteration, &summary_)) {
            std::memcpy(yardstick_.get(), product, storedBytes(shape_));
        }
        return;
    }
    Mismatch mismatch{iteration, false, 0, 0.0, 0.0f, false};
    mismatch.differingElements = compareProducts(shape_, yardstick_.get(), product, &mismatch.largestDifference);
    if (mismatch.differingElements != 0) {
        recordMismatch(mismatch, &summary_);
    }
}

}  // namespace bench
