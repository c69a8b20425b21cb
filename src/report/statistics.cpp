// Medians, median absolute deviations and the outlier rules of a node and of a fleet.
#include "report/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace report {

double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

double medianAbsoluteDeviation(const std::vector<double>& values, double center) {
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (const double value : values) {
        deviations.push_back(std::fabs(value - center));
    }
    return medianOf(deviations);
}

std::vector<bool> nodeOutliers(const std::vector<double>& figures, double margin) {
    std::vector<bool> outliers(figures.size(), false);
    if (figures.size() < 2) {
        return outliers;
    }
    for (std::size_t i = 0; i < figures.size(); ++i) {
        std::vector<double> peers = figures;
        peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(i));
        outliers[i] = figures[i] < (1.0 - margin) * medianOf(peers);
    }
    return outliers;
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

}  // namespace report
