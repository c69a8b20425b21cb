// The outlier rule of kavrel-fleet: each GPU's figure against the median and MAD of its peers.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// Default fraction of the peers' median by which a figure may fall below that median without being an outlier.
constexpr double kDefaultOutlierMargin = 0.10;

// How many scaled median absolute deviations below the median a figure may fall without being an outlier.
constexpr double kOutlierMadFactor = 3.0;

// Scales a median absolute deviation to a standard deviation for normally distributed figures.
constexpr double kMadToStandardDeviation = 1.4826;

// Fewest GPUs (the judged one included) a comparison needs: with two, either one could be the slow one.
constexpr std::size_t kMinimumPeers = 3;

// One figure compared with its peers' (higher is better).
struct PeerComparison {
    std::size_t peers = 0;     // figures compared, this one included
    double median = 0.0;       // median of the peers' figures
    double mad = 0.0;          // median absolute deviation of the peers' figures from median
    double allowance = 0.0;    // max(margin * median, kOutlierMadFactor * kMadToStandardDeviation * mad)
    double belowMedian = 0.0;  // (median - figure) / median: how far below the median, as a fraction of it
    bool outlier = false;      // figure < median - allowance
};

// The median of values (the mean of the middle two for an even count); 0 for none.
double medianOf(std::vector<double> values);

// The median of |value - center| over values; 0 for none.
double medianAbsoluteDeviation(const std::vector<double>& values, double center);

// Compares every figure with all of them (it included), the margin being a fraction in [0, 1). Returns one
// comparison per figure, in order, or an empty vector when there are fewer than kMinimumPeers figures.
std::vector<PeerComparison> compareWithPeers(const std::vector<double>& figures, double margin);
