// The figures kavrel-bench derives from its timings: percentiles, histograms and rates.
#pragma once

#include <string>
#include <vector>

#include "common/matrix.h"

namespace bench {

// Bytes one round trip at matrix order n uploads (A, B and C: 3 n^2 floats), computed in double so that no order
// overflows.
constexpr double uploadBytes(int order) {
    return 3.0 * static_cast<double>(order) * static_cast<double>(order) * sizeof(float);
}

// Bytes one round trip at matrix order n downloads (C: n^2 floats).
constexpr double downloadBytes(int order) {
    return static_cast<double>(order) * static_cast<double>(order) * sizeof(float);
}

// Floating-point operations of one SGEMM at matrix order n: 2 n^3.
constexpr double sgemmFlops(int order) {
    return 2.0 * static_cast<double>(order) * static_cast<double>(order) * static_cast<double>(order);
}

// The same amounts at kavrel-test's order.
constexpr double kUploadBytes = uploadBytes(kMatrixOrder);
constexpr double kDownloadBytes = downloadBytes(kMatrixOrder);
constexpr double kSgemmFlops = sgemmFlops(kMatrixOrder);

// amount / seconds / 1e9: GB/s for bytes, GFLOP/s for flops; 0 when seconds is not positive.
double billionsPerSecond(double amount, double seconds);

// Iteration-time percentiles in seconds. Each is a recorded sample, by the nearest-rank method: percentile p of
// N sorted samples is the one at rank ceil(p / 100 * N), counting from 1.
struct Percentiles {
    double p50;
    double p90;
    double p99;
    double p999;  // the 99.9th percentile
    double max;
    double min;
};

// Sorts samples in place and returns their percentiles; every field is NaN when there is no sample.
Percentiles percentilesOf(std::vector<double>* samples);

// Counts of times by range: bucket i counts the samples in [edges[i], edges[i + 1]); the last bucket also counts
// its upper edge. edges.size() == counts.size() + 1.
struct Histogram {
    std::vector<double> edges;
    std::vector<long> counts;
};

// The histogram of sortedSamples (ascending) in buckets ranges spaced logarithmically from the smallest sample to
// the largest, so that a long tail of slow iterations stays visible without hiding the bulk: every bucket's upper
// edge is the same multiple of its lower edge. With a smallest sample of 0 or less the ranges are spaced linearly
// instead; with all samples equal there is one bucket holding them all. buckets below 1 count as 1. No samples:
// no edges and no buckets.
Histogram histogramOf(const std::vector<double>& sortedSamples, int buckets);

// The edges of buckets ranges from lowest to highest, as histogramOf spaces them: equal ratios when lowest is above 0,
// equal widths otherwise; the outer edges are exactly lowest and highest.
std::vector<double> histogramEdges(double lowest, double highest, int buckets);

// The histogram as text, one line per bucket, each ending with '\n': the bucket's range in milliseconds with three
// decimals, its count, and a bar of '#' whose length is the count scaled to the largest count over barWidth
// characters, rounded to nearest, but at least one '#' for any bucket that is not empty.
std::string histogramBars(const Histogram& histogram, int barWidth);

}  // namespace bench
