// The times of one kind of event over a run (round trips, or one of their phases) in memory that stops growing.
#pragma once

#include <cstdint>
#include <vector>

#include "bench/benchFigures.h"

namespace bench {

// Every time is kept, and every figure exact, up to this many; beyond it the times are counted in bins.
constexpr std::size_t kExactTimes = 65536;

// The bins: each kTimeBinRatio times as wide as the one before, from kSmallestBinnedSeconds up. A binned figure is
// the middle of its bin (geometrically), so it lies within kBinnedRelativeError of the time at its rank; the
// smallest and largest times and the sum stay exact.
constexpr double kTimeBinRatio = 1.002;
constexpr double kSmallestBinnedSeconds = 1e-9;
constexpr double kBinnedRelativeError = 0.001;  // at least sqrt(kTimeBinRatio) - 1

// Times in seconds added one by one, summarised by count, sum, smallest, largest, percentiles and a histogram.
// Until kExactTimes have been added it keeps them all, and its percentiles are the recorded times at their
// nearest rank, as percentilesOf gives them. From then on it keeps a count per bin instead, so that a soak of any
// length uses at most a few hundred kilobytes (the bins span kSmallestBinnedSeconds to a week, and only those
// between the smallest and largest times are held); its percentiles are then within kBinnedRelativeError of the
// recorded time at their rank, and its histogram counts each time in the bucket of its bin's middle.
class TimeSummary {
public:
    void add(double seconds);

    long long count() const {
        return count_;
    }
    double sum() const {
        return sum_;
    }
    // Whether every time is still kept, so that the figures are exact.
    bool exact() const {
        return binned_.empty() && belowBins_ == 0;
    }

    // The percentiles, as percentilesOf defines them; NaN for every field when no time was added.
    Percentiles percentiles() const;

    // The histogram of the times, as histogramOf defines it.
    Histogram histogram(int buckets) const;

private:
    void moveToBins();
    void addToBin(double seconds, std::uint64_t count);
    // The time at rank (from 1) among those added, from the bins.
    double binnedAt(long long rank) const;

    long long count_ = 0;
    double sum_ = 0.0;
    double smallest_ = 0.0;
    double largest_ = 0.0;
    std::vector<double> exact_;
    // Counts of the bins from firstBin_ on; times below kSmallestBinnedSeconds count in belowBins_.
    std::vector<std::uint64_t> binned_;
    long firstBin_ = 0;
    std::uint64_t belowBins_ = 0;
};

}  // namespace bench
