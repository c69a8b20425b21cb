// The statistics kavrel-bench and kavrel-fleet share: medians, spread, and the two outlier rules built on them.
#pragma once

#include <cstddef>
#include <vector>

namespace report {

// The median of values: the middle one, or the mean of the two middle ones for an even count; NaN when empty.
double medianOf(std::vector<double> values);

// The median of |value - center| over values; NaN when empty.
double medianAbsoluteDeviation(const std::vector<double>& values, double center);

// Which of one node's devices are outliers, from each one's figure (higher is better, such as round trips per
// second): device i is one when figures[i] is more than margin (a fraction) below the median of the other devices'
// figures, that is below (1 - margin) times it; leaving itself out keeps a device from pulling its own yardstick
// down. With fewer than two devices none is.
std::vector<bool> nodeOutliers(const std::vector<double>& figures, double margin);

// How many scaled median absolute deviations below the median a fleet's figure may fall without being an outlier.
constexpr double kOutlierMadFactor = 3.0;

// Scales a median absolute deviation to a standard deviation for normally distributed figures.
constexpr double kMadToStandardDeviation = 1.4826;

// Fewest GPUs (the judged one included) a fleet comparison needs: with two, either one could be the slow one.
constexpr std::size_t kMinimumPeers = 3;

// One figure of a fleet's GPU compared with its peers' (higher is better).
struct PeerComparison {
    std::size_t peers = 0;     // figures compared, this one included
    double median = 0.0;       // median of the peers' figures
    double mad = 0.0;          // median absolute deviation of the peers' figures from median
    double allowance = 0.0;    // max(margin * median, kOutlierMadFactor * kMadToStandardDeviation * mad)
    double belowMedian = 0.0;  // (median - figure) / median: how far below the median, as a fraction of it
    bool outlier = false;      // figure < median - allowance
};

// Compares every figure of a group across a fleet with all of them (it included), the margin being a fraction in
// [0, 1): the margin term keeps a tight group from flagging noise, the MAD term keeps a noisy one from flagging its
// ordinary spread. Returns one comparison per figure, in order, or none when there are fewer than kMinimumPeers.
std::vector<PeerComparison> compareWithPeers(const std::vector<double>& figures, double margin);

}  // namespace report
