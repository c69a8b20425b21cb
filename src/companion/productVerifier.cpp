// The verifier's thread and its comparisons of each product with the reference or the first product.
#include "companion/productVerifier.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace {

// A float's bits, so that -0 and +0 differ and a NaN equals itself.
std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
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
            const double difference = std::fabs(static_cast<double>(a) - static_cast<double>(b));
            // A NaN stays, since no comparison replaces it.
            if (std::isnan(difference) || difference > largest) {
                largest = std::isnan(largest) ? largest : difference;
            }
        }
    }
    *largestDifference = largest;
    return differing;
}

ProductVerifier::ProductVerifier(MatrixShape shape, const float* reference, float* slot0, float* slot1)
    : shape_(shape),
      reference_(reference),
      slots_{slot0, slot1},
      first_(new (std::nothrow) float[storedElements(shape)]),
      thread_(&ProductVerifier::work, this) {}

ProductVerifier::~ProductVerifier() {
    finish();
}

bool ProductVerifier::ready() const {
    return first_ != nullptr;
}

void ProductVerifier::acquire(int slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !busy_[slot]; });
}

void ProductVerifier::submit(int slot, long iteration) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        busy_[slot] = true;
        pending_.emplace_back(slot, iteration);
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
        check(slots_[slot], iteration);
        lock.lock();
        busy_[slot] = false;
        changed_.notify_all();
    }
}

void ProductVerifier::check(const float* product, long iteration) {
    if (first_ == nullptr) {
        return;
    }
    ++summary_.verifiedProducts;
    if (!summary_.checkedFirst) {
        summary_.checkedFirst = true;
        summary_.firstError = relativeL2Error(shape_, product, reference_);
        std::memcpy(first_.get(), product, storedBytes(shape_));
        return;
    }
    double largest = 0.0;
    const long differing = compareProducts(shape_, first_.get(), product, &largest);
    if (differing == 0) {
        return;
    }
    ++summary_.mismatchCount;
    if (summary_.mismatches.size() < kRecordedMismatches) {
        summary_.mismatches.push_back(Mismatch{iteration, differing, largest});
    }
}
