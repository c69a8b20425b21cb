// In-process tests of kavrel-bench's figures: order statistics, histogram, rates and outliers among devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench/benchFigures.h"
#include "bench/benchOptions.h"
#include "bench/benchReport.h"
#include "bench/timeSummary.h"
#include "bench/watchdog.h"

namespace bench {

namespace {

// 1, 2, ..., count in a shuffled order.
std::vector<double> shuffledCounting(int count) {
    std::vector<double> samples;
    for (int i = 1; i <= count; ++i) {
        samples.push_back(i);
    }
    std::shuffle(samples.begin(), samples.end(), std::mt19937(7));
    return samples;
}

// The lines of text, without their line breaks.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace

TEST(BenchFigures, RatesUseTheRoundTripsAmountsInBillionsPerSecond) {
    EXPECT_EQ(kUploadBytes, 12000000.0);
    EXPECT_EQ(kDownloadBytes, 4000000.0);
    EXPECT_EQ(kSgemmFlops, 2e9);
    // Orders whose square or cube overflows an int.
    EXPECT_EQ(uploadBytes(100000), 1.2e11);
    EXPECT_EQ(downloadBytes(kMaxMatrixOrder), 4e12);
    EXPECT_EQ(sgemmFlops(kMaxMatrixOrder), 2e18);
    EXPECT_EQ(sgemmFlops(1), 2.0);
    EXPECT_DOUBLE_EQ(billionsPerSecond(kUploadBytes, 0.001), 12.0);
    EXPECT_DOUBLE_EQ(billionsPerSecond(kSgemmFlops, 0.25), 8.0);
    EXPECT_EQ(billionsPerSecond(kDownloadBytes, 0.0), 0.0);
}

TEST(BenchFigures, PercentilesAreSamplesAtTheirNearestRank) {
    std::vector<double> thousand = shuffledCounting(1000);
    const Percentiles large = percentilesOf(&thousand);
    EXPECT_EQ(large.p50, 500.0);
    EXPECT_EQ(large.p90, 900.0);
    EXPECT_EQ(large.p99, 990.0);
    EXPECT_EQ(large.p999, 999.0);
    EXPECT_EQ(large.max, 1000.0);
    EXPECT_EQ(large.min, 1.0);
    EXPECT_TRUE(std::is_sorted(thousand.begin(), thousand.end()));

    // Ten samples: rank ceil(0.5 * 10) = 5, ceil(0.9 * 10) = 9, and the largest for 99 and 99.9; no interpolation.
    std::vector<double> ten = shuffledCounting(10);
    const Percentiles small = percentilesOf(&ten);
    EXPECT_EQ(small.p50, 5.0);
    EXPECT_EQ(small.p90, 9.0);
    EXPECT_EQ(small.p99, 10.0);
    EXPECT_EQ(small.p999, 10.0);

    // Six samples: rank ceil(0.9 * 6) = 6, where rounding 5.4 to the nearest rank would give 5.
    std::vector<double> six = shuffledCounting(6);
    const Percentiles rounded = percentilesOf(&six);
    EXPECT_EQ(rounded.p50, 3.0);
    EXPECT_EQ(rounded.p90, 6.0);

    std::vector<double> one{0.25};
    const Percentiles single = percentilesOf(&one);
    EXPECT_EQ(single.p50, 0.25);
    EXPECT_EQ(single.p999, 0.25);
    EXPECT_EQ(single.min, 0.25);
}

TEST(BenchFigures, HistogramBucketsAreLogarithmicAndCountEverySampleOnce) {
    const Histogram known = histogramOf({1.0, 1.5, 3.0, 5.0, 7.9, 8.0}, 3);
    ASSERT_EQ(known.edges.size(), 4u);
    EXPECT_EQ(known.edges.front(), 1.0);
    EXPECT_NEAR(known.edges[1], 2.0, 1e-12);
    EXPECT_NEAR(known.edges[2], 4.0, 1e-12);
    EXPECT_EQ(known.edges.back(), 8.0);
    EXPECT_EQ(known.counts, (std::vector<long>{2, 1, 3}));

    // A long tail of times: each sample lies in its bucket's range, the largest in the last bucket.
    std::vector<double> times;
    std::mt19937 random(11);
    std::exponential_distribution<double> tail(2000.0);
    for (int i = 0; i < 5000; ++i) {
        times.push_back(0.0005 + tail(random));
    }
    std::sort(times.begin(), times.end());
    const Histogram histogram = histogramOf(times, 20);
    ASSERT_EQ(histogram.counts.size(), 20u);
    ASSERT_EQ(histogram.edges.size(), 21u);
    EXPECT_EQ(histogram.edges.front(), times.front());
    EXPECT_EQ(histogram.edges.back(), times.back());
    for (std::size_t i = 0; i < histogram.counts.size(); ++i) {
        const bool last = i + 1 == histogram.counts.size();
        const long inRange = std::count_if(times.begin(), times.end(), [&](double time) {
            return time >= histogram.edges[i] && (time < histogram.edges[i + 1] || (last && time == times.back()));
        });
        EXPECT_EQ(histogram.counts[i], inRange) << "bucket " << i;
        EXPECT_NEAR(histogram.edges[i + 1] / histogram.edges[i], histogram.edges[1] / histogram.edges[0], 1e-9);
    }
}

TEST(BenchFigures, HistogramOfEqualOrZeroTimesStillCountsThemAll) {
    const Histogram equal = histogramOf({0.002, 0.002, 0.002}, 10);
    EXPECT_EQ(equal.edges, (std::vector<double>{0.002, 0.002}));
    EXPECT_EQ(equal.counts, std::vector<long>{3});
    const Histogram fromZero = histogramOf({0.0, 0.5, 1.0}, 2);
    EXPECT_EQ(fromZero.edges, (std::vector<double>{0.0, 0.5, 1.0}));
    EXPECT_EQ(fromZero.counts, (std::vector<long>{1, 2}));
    EXPECT_TRUE(histogramOf({}, 5).counts.empty());
}

TEST(BenchFigures, BarsScaleToTheLargestCountAndShowEveryNonEmptyBucket) {
    const Histogram histogram{{0.001, 0.002, 0.004, 0.008}, {200, 0, 1}};
    const std::string text = histogramBars(histogram, 40);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "     1.000 -      2.000 ms  200  " + std::string(40, '#'));
    EXPECT_EQ(lines[1], "     2.000 -      4.000 ms    0");
    EXPECT_EQ(lines[2], "     4.000 -      8.000 ms    1  #");
    EXPECT_EQ(linesOf(histogramBars(Histogram{{0.001, 0.002, 0.003}, {10, 5}}, 10))[1],
              "     2.000 -      3.000 ms   5  #####");
}

// Times spread over three decades, deterministic: a long-tailed run of round trips.
std::vector<double> spreadTimes(std::size_t count) {
    std::vector<double> times;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const double uniform = static_cast<double>(state >> 8) / 16777216.0;
        times.push_back(1e-4 * std::pow(1000.0, uniform * uniform));
    }
    return times;
}

TEST(TimeSummary, ShortRunsKeepEveryTimeAndGiveTheExactFigures) {
    std::vector<double> times = spreadTimes(kExactTimes);
    TimeSummary summary;
    double sum = 0.0;
    for (const double time : times) {
        summary.add(time);
        sum += time;
    }
    EXPECT_TRUE(summary.exact());
    EXPECT_EQ(summary.count(), static_cast<long long>(kExactTimes));
    EXPECT_EQ(summary.sum(), sum);
    const Percentiles binnedOrNot = summary.percentiles();
    const Percentiles exact = percentilesOf(&times);
    EXPECT_EQ(binnedOrNot.p50, exact.p50);
    EXPECT_EQ(binnedOrNot.p999, exact.p999);
    EXPECT_EQ(binnedOrNot.min, exact.min);
    const Histogram histogram = summary.histogram(kHistogramBuckets);
    EXPECT_EQ(histogram.counts, histogramOf(times, kHistogramBuckets).counts);
    EXPECT_TRUE(std::isnan(TimeSummary().percentiles().p50));
}

TEST(TimeSummary, LongRunsStayWithinTheirErrorBoundOfTheExactFigures) {
    std::vector<double> times = spreadTimes(3 * kExactTimes);
    // Some times too short for any bin, as an event pair on one clock tick can give.
    times[7] = 0.0;
    times[8] = 0.0;
    TimeSummary summary;
    for (const double time : times) {
        summary.add(time);
    }
    EXPECT_FALSE(summary.exact());
    EXPECT_EQ(summary.count(), static_cast<long long>(times.size()));
    const Percentiles binned = summary.percentiles();
    const Percentiles exact = percentilesOf(&times);
    for (const auto& [name, got, want] : {std::tuple<const char*, double, double>{"p50", binned.p50, exact.p50},
                                          {"p90", binned.p90, exact.p90},
                                          {"p99", binned.p99, exact.p99},
                                          {"p99.9", binned.p999, exact.p999}}) {
        EXPECT_LE(std::fabs(got - want), kBinnedRelativeError * want) << name << ": " << got << " against " << want;
    }
    EXPECT_EQ(binned.max, exact.max);
    EXPECT_EQ(binned.min, 0.0);
    const Histogram histogram = summary.histogram(kHistogramBuckets);
    const Histogram expected = histogramOf(times, kHistogramBuckets);
    EXPECT_EQ(histogram.edges, expected.edges);
    long total = 0;
    for (std::size_t bucket = 0; bucket < histogram.counts.size(); ++bucket) {
        total += histogram.counts[bucket];
        // Only times within one bin of an edge can land on the other side of it.
        EXPECT_NEAR(histogram.counts[bucket], expected.counts[bucket], 0.01 * static_cast<double>(times.size()))
            << bucket;
    }
    EXPECT_EQ(total, static_cast<long>(times.size()));
}

TEST(BenchWatchdogRule, TheLimitFollowsTheFirstRoundTripBetweenItsFloorAndCeiling) {
    const std::optional<double> none;
    EXPECT_EQ(stallLimitSeconds(none, 0.0, false), kStallCeilingSeconds) << "before any round trip";
    EXPECT_EQ(stallLimitSeconds(none, 0.001, false), kStallFloorSeconds);
    EXPECT_EQ(stallLimitSeconds(none, 0.5, false), 25.0);
    EXPECT_EQ(stallLimitSeconds(none, 60.0, false), kStallCeilingSeconds);
    EXPECT_EQ(stallLimitSeconds(3.0, 60.0, false), 3.0) << "--stall-timeout wins";
    EXPECT_EQ(stallLimitSeconds(0.0, 0.001, false), 0.0) << "--stall-timeout 0 turns it off";
    // Once interrupted, nobody waits long, the watch turned off or not.
    EXPECT_EQ(stallLimitSeconds(0.0, 0.001, true), kInterruptedStallSeconds);
    EXPECT_EQ(stallLimitSeconds(none, 0.001, true), kInterruptedStallSeconds);
    EXPECT_EQ(stallLimitSeconds(2.0, 0.001, true), 2.0);
    EXPECT_TRUE(isStalled(3.0, 3.0));
    EXPECT_FALSE(isStalled(2.9, 3.0));
    EXPECT_FALSE(isStalled(1e9, 0.0));
    EXPECT_EQ(stallMessage("cudaDeviceSynchronize", 30.2), "no progress for 30 s in cudaDeviceSynchronize");
    EXPECT_EQ(stallMessage("cublasGetMatrix", 3.04), "no progress for 3 s in cublasGetMatrix");
    EXPECT_EQ(stallMessage("cublasGetMatrix", 2.46), "no progress for 2.5 s in cublasGetMatrix");
}

}  // namespace bench
