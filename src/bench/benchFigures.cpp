// Order statistics of the recorded times, their histogram and the rates derived from them.
#include "bench/benchFigures.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

namespace bench {

namespace {

// The sample at nearest rank ceil(perMille / 1000 * N) of sorted samples, in integers so that no rounding moves
// the rank.
double atRank(const std::vector<double>& sorted, long long perMille) {
    const long long count = static_cast<long long>(sorted.size());
    const long long rank = std::max(1LL, (perMille * count + 999) / 1000);
    return sorted[static_cast<std::size_t>(rank - 1)];
}

}  // namespace

std::vector<double> histogramEdges(double lowest, double highest, int buckets) {
    std::vector<double> edges(static_cast<std::size_t>(buckets) + 1);
    const bool logarithmic = lowest > 0.0;
    for (int i = 0; i <= buckets; ++i) {
        const double step = static_cast<double>(i) / buckets;
        edges[static_cast<std::size_t>(i)] =
            logarithmic ? lowest * std::pow(highest / lowest, step) : lowest + (highest - lowest) * step;
    }
    edges.front() = lowest;
    edges.back() = highest;
    return edges;
}

double billionsPerSecond(double amount, double seconds) {
    return seconds > 0.0 ? amount / seconds / 1e9 : 0.0;
}

Percentiles percentilesOf(std::vector<double>* samples) {
    if (samples->empty()) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return Percentiles{nan, nan, nan, nan, nan, nan};
    }
    std::sort(samples->begin(), samples->end());
    return Percentiles{atRank(*samples, 500), atRank(*samples, 900), atRank(*samples, 990),
                       atRank(*samples, 999), samples->back(),       samples->front()};
}

Histogram histogramOf(const std::vector<double>& sortedSamples, int buckets) {
    Histogram histogram;
    if (sortedSamples.empty()) {
        return histogram;
    }
    const double lowest = sortedSamples.front();
    const double highest = sortedSamples.back();
    const int bucketCount = lowest < highest ? std::max(1, buckets) : 1;
    histogram.edges = histogramEdges(lowest, highest, bucketCount);
    histogram.counts.assign(static_cast<std::size_t>(bucketCount), 0);
    std::size_t bucket = 0;
    for (const double sample : sortedSamples) {
        while (bucket + 1 < histogram.counts.size() && sample >= histogram.edges[bucket + 1]) {
            ++bucket;
        }
        ++histogram.counts[bucket];
    }
    return histogram;
}

std::string histogramBars(const Histogram& histogram, int barWidth) {
    long largest = 0;
    for (const long count : histogram.counts) {
        largest = std::max(largest, count);
    }
    const int countWidth = std::snprintf(nullptr, 0, "%ld", largest);
    std::string text;
    for (std::size_t i = 0; i < histogram.counts.size(); ++i) {
        const long count = histogram.counts[i];
        char line[96];
        std::snprintf(line, sizeof line, "%10.3f - %10.3f ms  %*ld", histogram.edges[i] * 1e3,
                      histogram.edges[i + 1] * 1e3, countWidth, count);
        text += line;
        if (count > 0 && barWidth > 0) {
            const double scaled = static_cast<double>(count) * barWidth / static_cast<double>(largest);
            text += "  " + std::string(static_cast<std::size_t>(std::max(1.0, std::round(scaled))), '#');
        }
        text += '\n';
    }
    return text;
}

}  // namespace bench
