// Keeping the times of a run exactly while they are few, and in logarithmic bins once they are many.
#include "bench/timeSummary.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace bench {

namespace {

// No time a run can measure is longer; larger ones count in the last bin, which caps the bins' memory.
constexpr double kLargestBinnedSeconds = 1e7;

const double kLogRatio = std::log(kTimeBinRatio);

long binOf(double seconds) {
    const double clamped = std::min(seconds, kLargestBinnedSeconds);
    return static_cast<long>(std::floor(std::log(clamped / kSmallestBinnedSeconds) / kLogRatio));
}

// The geometric middle of a bin.
double middleOf(long bin) {
    return kSmallestBinnedSeconds * std::exp((static_cast<double>(bin) + 0.5) * kLogRatio);
}

// The rank, from 1, of percentile perMille / 10 among count times, by the nearest-rank method.
long long rankOf(long long perMille, long long count) {
    return std::max(1LL, (perMille * count + 999) / 1000);
}

}  // namespace

void TimeSummary::add(double seconds) {
    smallest_ = count_ == 0 ? seconds : std::min(smallest_, seconds);
    largest_ = count_ == 0 ? seconds : std::max(largest_, seconds);
    ++count_;
    sum_ += seconds;
    if (!exact()) {
        addToBin(seconds, 1);
        return;
    }
    if (exact_.size() < kExactTimes) {
        exact_.push_back(seconds);
        return;
    }
    moveToBins();
    addToBin(seconds, 1);
}

void TimeSummary::moveToBins() {
    for (const double seconds : exact_) {
        addToBin(seconds, 1);
    }
    std::vector<double>().swap(exact_);
}

void TimeSummary::addToBin(double seconds, std::uint64_t count) {
    // NaN and anything below the smallest bin count below the bins.
    if (!(seconds >= kSmallestBinnedSeconds)) {
        belowBins_ += count;
        return;
    }
    const long bin = binOf(seconds);
    if (binned_.empty()) {
        firstBin_ = bin;
        binned_.assign(1, 0);
    } else if (bin < firstBin_) {
        binned_.insert(binned_.begin(), static_cast<std::size_t>(firstBin_ - bin), 0);
        firstBin_ = bin;
    } else if (bin >= firstBin_ + static_cast<long>(binned_.size())) {
        binned_.resize(static_cast<std::size_t>(bin - firstBin_ + 1), 0);
    }
    binned_[static_cast<std::size_t>(bin - firstBin_)] += count;
}

double TimeSummary::binnedAt(long long rank) const {
    auto seen = static_cast<long long>(belowBins_);
    if (rank <= seen) {
        return smallest_;
    }
    for (std::size_t i = 0; i < binned_.size(); ++i) {
        seen += static_cast<long long>(binned_[i]);
        if (rank <= seen) {
            return std::clamp(middleOf(firstBin_ + static_cast<long>(i)), smallest_, largest_);
        }
    }
    return largest_;
}

Percentiles TimeSummary::percentiles() const {
    if (count_ == 0) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return Percentiles{nan, nan, nan, nan, nan, nan};
    }
    if (exact()) {
        std::vector<double> sorted = exact_;
        return percentilesOf(&sorted);
    }
    return Percentiles{binnedAt(rankOf(500, count_)),
                       binnedAt(rankOf(900, count_)),
                       binnedAt(rankOf(990, count_)),
                       binnedAt(rankOf(999, count_)),
                       largest_,
                       smallest_};
}

Histogram TimeSummary::histogram(int buckets) const {
    if (exact()) {
        std::vector<double> sorted = exact_;
        std::sort(sorted.begin(), sorted.end());
        return histogramOf(sorted, buckets);
    }
    Histogram histogram;
    const int bucketCount = smallest_ < largest_ ? std::max(1, buckets) : 1;
    histogram.edges = histogramEdges(smallest_, largest_, bucketCount);
    histogram.counts.assign(static_cast<std::size_t>(bucketCount), 0);
    const auto bucketOf = [&](double seconds) {
        const auto above = std::upper_bound(histogram.edges.begin() + 1, histogram.edges.end() - 1, seconds);
        return static_cast<std::size_t>(above - (histogram.edges.begin() + 1));
    };
    histogram.counts[0] += static_cast<long>(belowBins_);
    for (std::size_t i = 0; i < binned_.size(); ++i) {
        if (binned_[i] != 0) {
            const double middle = std::clamp(middleOf(firstBin_ + static_cast<long>(i)), smallest_, largest_);
            histogram.counts[bucketOf(middle)] += static_cast<long>(binned_[i]);
        }
    }
    return histogram;
}

}  // namespace bench
