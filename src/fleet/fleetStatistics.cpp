// Median, median absolute deviation and the outlier rule that kavrel-fleet applies to each group of GPUs.
#include "fleet/fleetStatistics.h"

#include <algorithm>
#include <cmath>

double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return lower + (upper - lower) / 2.0;
}

double medianAbsoluteDeviation(const std::vector<double>& values, double center) {
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (const double value : values) {
        deviations.push_back(std::fabs(value - center));
    }
    return medianOf(deviations);
}

std::vector<PeerComparison> compareWithPeers(const std::vector<double>& figures, double margin) {
    if (figures.size() < kMinimumPeers) {
        return {};
    }
    const double median = medianOf(figures);
    const double mad = medianAbsoluteDeviation(figures, median);
    const double allowance = std::max(margin * median, kOutlierMadFactor * kMadToStandardDeviation * mad);
    std::vector<PeerComparison> comparisons;
    comparisons.reserve(figures.size());
    for (const double figure : figures) {
        PeerComparison comparison;
        comparison.peers = figures.size();
        comparison.median = median;
        comparison.mad = mad;
        comparison.allowance = allowance;
        comparison.belowMedian = median > 0.0 ? (median - figure) / median : 0.0;
        comparison.outlier = figure < median - allowance;
        comparisons.push_back(comparison);
    }
    return comparisons;
}
