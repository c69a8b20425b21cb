// Tests of what kavrel-bench and kavrel-fleet share: the decimal reader, the outlier margin, the statistics and the
// two outlier rules, each rule once, by one table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/decimalText.h"
#include "report/outlierMargin.h"
#include "report/statistics.h"

namespace report {

// A text and how the count reader takes it under a limit.
struct CountRow {
    const char* text;
    std::uint64_t limit;
    DecimalCount read;
    std::uint64_t value;  // when read
};

void PrintTo(const CountRow& row, std::ostream* out) {
    *out << '"' << row.text << "\" up to " << row.limit;
}

class DecimalCountText : public testing::TestWithParam<CountRow> {};

// A text and the fraction it reads as; a negative one marks text that must be refused.
struct FractionRow {
    const char* text;
    double value;
};

void PrintTo(const FractionRow& row, std::ostream* out) {
    *out << '"' << row.text << '"';
}

class DecimalFractionText : public testing::TestWithParam<FractionRow> {};

// A margin as written on either program's command line and the fraction it means; negative: refused.
class OutlierMarginText : public testing::TestWithParam<FractionRow> {};

// One node's figures and which of its devices the node rule flags.
struct NodeRuleRow {
    const char* name;
    std::vector<double> figures;
    double margin;
    std::vector<bool> outliers;
};

void PrintTo(const NodeRuleRow& row, std::ostream* out) {
    *out << row.name;
}

class NodeOutlierRule : public testing::TestWithParam<NodeRuleRow> {};

// One fleet group's figures and which of them the fleet rule flags (none judged: empty).
class FleetOutlierRule : public testing::TestWithParam<NodeRuleRow> {};

TEST_P(DecimalCountText, ReadsDigitsOnlyUpToTheLimit) {
    std::uint64_t value = 7;
    EXPECT_EQ(readDecimalCount(GetParam().text, GetParam().limit, &value), GetParam().read);
    EXPECT_EQ(value, GetParam().read == DecimalCount::read ? GetParam().value : 7u);
}

INSTANTIATE_TEST_SUITE_P(
    Report, DecimalCountText,
    testing::Values(CountRow{"0", 10, DecimalCount::read, 0}, CountRow{"010", 10, DecimalCount::read, 10},
                    CountRow{"10", 10, DecimalCount::read, 10}, CountRow{"11", 10, DecimalCount::aboveLimit, 0},
                    CountRow{"18446744073709551615", UINT64_MAX, DecimalCount::read, UINT64_MAX},
                    CountRow{"18446744073709551616", UINT64_MAX, DecimalCount::aboveLimit, 0},
                    CountRow{"99999999999999999999999", 1000, DecimalCount::aboveLimit, 0},
                    CountRow{"99999999999999999999999x", 1000, DecimalCount::notDigits, 0},
                    CountRow{"", 10, DecimalCount::notDigits, 0}, CountRow{"+5", 10, DecimalCount::notDigits, 0},
                    CountRow{"-1", 10, DecimalCount::notDigits, 0}, CountRow{"0x1", 10, DecimalCount::notDigits, 0},
                    CountRow{"1e3", 10000, DecimalCount::notDigits, 0}, CountRow{"1.5", 10, DecimalCount::notDigits, 0},
                    CountRow{" 5", 10, DecimalCount::notDigits, 0}));

TEST_P(DecimalFractionText, ReadsDigitsWithAtMostOnePoint) {
    double value = -7.0;
    EXPECT_EQ(readDecimalFraction(GetParam().text, &value), GetParam().value >= 0.0);
    EXPECT_EQ(value, GetParam().value >= 0.0 ? GetParam().value : -7.0);
}

INSTANTIATE_TEST_SUITE_P(Report, DecimalFractionText,
                         testing::Values(FractionRow{"0", 0.0}, FractionRow{"12", 12.0}, FractionRow{"0.1", 0.1},
                                         FractionRow{".25", 0.25}, FractionRow{"12.50", 12.5}, FractionRow{"1.3", 1.3},
                                         FractionRow{"", -1}, FractionRow{".", -1}, FractionRow{"1.", -1},
                                         FractionRow{"0.1.2", -1}, FractionRow{"+1", -1}, FractionRow{"-1", -1},
                                         FractionRow{"1e3", -1}, FractionRow{"0x1", -1}, FractionRow{"nan", -1},
                                         FractionRow{"inf", -1}, FractionRow{"1,5", -1}, FractionRow{" 1", -1}));

TEST_P(OutlierMarginText, IsAFractionOrAPercentageBelowOne) {
    double fraction = -7.0;
    const bool accepted = parseOutlierMargin(GetParam().text, &fraction);
    EXPECT_EQ(accepted, GetParam().value >= 0.0);
    EXPECT_DOUBLE_EQ(fraction, accepted ? GetParam().value : -7.0);
}

INSTANTIATE_TEST_SUITE_P(Report, OutlierMarginText,
                         testing::Values(FractionRow{"0.1", 0.1}, FractionRow{".25", 0.25}, FractionRow{"10%", 0.10},
                                         FractionRow{"12.5%", 0.125}, FractionRow{"99.9%", 0.999},
                                         FractionRow{"0", 0.0}, FractionRow{"0%", 0.0}, FractionRow{"1", -1},
                                         FractionRow{"10", -1}, FractionRow{"100%", -1}, FractionRow{"1.5", -1},
                                         FractionRow{"-0.1", -1}, FractionRow{"+0.1", -1}, FractionRow{"1e-1", -1},
                                         FractionRow{"%", -1}, FractionRow{"", -1}, FractionRow{".", -1},
                                         FractionRow{"0.", -1}, FractionRow{"10.%", -1}, FractionRow{"1.", -1},
                                         FractionRow{"0.1.2", -1}, FractionRow{"10%%", -1}, FractionRow{"%10", -1},
                                         FractionRow{"10 %", -1}, FractionRow{" 0.1", -1}, FractionRow{"0,1", -1},
                                         FractionRow{"nan", -1}, FractionRow{"0x0.1", -1}));

TEST(ReportStatistics, MedianAndMadOfOddEvenAndNoCounts) {
    const std::vector<double> values{5.0, 1.0, 3.0, 2.0};
    EXPECT_EQ(medianOf(values), 2.5);
    EXPECT_EQ(values, (std::vector<double>{5.0, 1.0, 3.0, 2.0})) << "the argument is left alone";
    EXPECT_EQ(medianOf({9.0, 1.0, 4.0}), 4.0);
    EXPECT_TRUE(std::isnan(medianOf({})));
    // Deviations from 2.5 are 1.5, 0.5, 0.5, 1.5.
    EXPECT_EQ(medianAbsoluteDeviation({4.0, 1.0, 3.0, 2.0}, 2.5), 1.0);
    EXPECT_TRUE(std::isnan(medianAbsoluteDeviation({}, 0.0)));
}

TEST_P(NodeOutlierRule, FlagsDevicesMoreThanTheMarginBelowTheMedianOfTheOthers) {
    EXPECT_EQ(nodeOutliers(GetParam().figures, GetParam().margin), GetParam().outliers);
}

INSTANTIATE_TEST_SUITE_P(
    Report, NodeOutlierRule,
    testing::Values(NodeRuleRow{"OneSlowDevice", {100, 100, 100, 85}, 0.10, {false, false, false, true}},
                    // Exactly the margin below is not more than it.
                    NodeRuleRow{"AtTheMargin", {100, 100, 90}, 0.10, {false, false, false}},
                    // The peers' median leaves the device out: with it, the median of two would be 92.5 and 85 pass.
                    NodeRuleRow{"TwoDevices", {100, 85}, 0.10, {false, true}},
                    // A fast device never is an outlier, and several slow ones can be.
                    NodeRuleRow{
                        "SeveralSlow", {300, 100, 100, 100, 50, 50}, 0.10, {false, false, false, false, true, true}},
                    NodeRuleRow{"OneDevice", {10}, 0.10, {false}}, NodeRuleRow{"NoDevice", {}, 0.10, {}},
                    NodeRuleRow{"NoMargin", {100, 99}, 0.0, {false, true}}),
    [](const testing::TestParamInfo<NodeRuleRow>& info) { return std::string(info.param.name); });

TEST_P(FleetOutlierRule, FlagsExactlyTheFiguresTooFarBelowTheMedian) {
    std::vector<bool> outliers;
    for (const PeerComparison& comparison : compareWithPeers(GetParam().figures, GetParam().margin)) {
        outliers.push_back(comparison.outlier);
    }
    EXPECT_EQ(outliers, GetParam().outliers);
}

INSTANTIATE_TEST_SUITE_P(
    Report, FleetOutlierRule,
    testing::Values(
        // Median 100, MAD 1: the margin (10) decides; 85 is out, 91 is in, a fast GPU never is.
        NodeRuleRow{"TightGroupMarginDecides",
                    {100, 101, 99, 100, 85, 91, 130},
                    0.10,
                    {false, false, false, false, true, false, false}},
        // Exactly at the bound (median 100 - 10) is not below it.
        NodeRuleRow{"BoundItselfIsNotAnOutlier", {100, 100, 100, 90}, 0.10, {false, false, false, false}},
        // Median 100, MAD 10: 3 x 1.4826 x 10 = 44.5 allowed, wider than the margin, so 60 is in and 55 out.
        NodeRuleRow{"NoisyGroupSpreadDecides",
                    {100, 100, 100, 110, 110, 90, 90, 60, 55},
                    0.10,
                    {false, false, false, false, false, false, false, false, true}},
        // No margin and no spread: anything below the median is out.
        NodeRuleRow{"NoMarginNoSpread", {50, 50, 50, 49.99}, 0.0, {false, false, false, true}},
        NodeRuleRow{"TwoGpusAreNotJudged", {100, 10}, 0.10, {}},
        NodeRuleRow{"ThreeAreJudged", {100, 100, 10}, 0.10, {false, false, true}}),
    [](const testing::TestParamInfo<NodeRuleRow>& info) { return std::string(info.param.name); });

TEST(ReportStatistics, FleetComparisonCarriesTheCentreAndTheDistanceFromIt) {
    const std::vector<PeerComparison> comparisons = compareWithPeers({100, 101, 99, 75}, 0.10);
    ASSERT_EQ(comparisons.size(), 4u);
    EXPECT_EQ(comparisons[3].peers, 4u);
    EXPECT_DOUBLE_EQ(comparisons[3].median, 99.5);
    EXPECT_DOUBLE_EQ(comparisons[3].mad, 1.0);
    EXPECT_DOUBLE_EQ(comparisons[3].allowance, 9.95);
    EXPECT_DOUBLE_EQ(comparisons[3].belowMedian, 24.5 / 99.5);
    EXPECT_DOUBLE_EQ(comparisons[1].belowMedian, -1.5 / 99.5);
}

}  // namespace report
