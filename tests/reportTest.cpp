// Tests of what kavrel-bench and kavrel-fleet share: the decimal reader, the outlier margin, the statistics, the
// two outlier rules and the expectation file, each rule once, by one table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/decimalText.h"
#include "report/expectations.h"
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

// An expectation file's text and the problem it has, empty for a file that reads.
struct ExpectationFileRow {
    const char* name;
    const char* text;
    const char* problem;
};

void PrintTo(const ExpectationFileRow& row, std::ostream* out) {
    *out << row.name;
}

class ExpectationFileText : public testing::TestWithParam<ExpectationFileRow> {};

TEST_P(ExpectationFileText, IsReadWholeOrRefusedWithWhereItIsWrong) {
    const ExpectationFile file = parseExpectations(GetParam().text);
    EXPECT_EQ(file.problem, GetParam().problem);
    if (!file.problem.empty()) {
        EXPECT_TRUE(file.expectations.empty()) << "a file with a problem is not used in part";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ExpectationFileText,
    testing::Values(
        ExpectationFileRow{"EveryFigure",
                           R"({"expectations": [{"name": "H", "min_upload_gb_per_second": 20,
                               "min_download_gb_per_second": 20.5, "min_sgemm_gflop_per_second": 40000,
                               "pcie_link_generation": 5, "pcie_link_width": 16, "max_temperature_celsius": 85}]})",
                           ""},
        ExpectationFileRow{"NoExpectations", R"({"expectations": []})", ""},
        ExpectationFileRow{"NotJson", "expectations: []", "not a JSON object"},
        ExpectationFileRow{"AnArray", "[]", "not a JSON object"},
        ExpectationFileRow{"NoList", R"({"expect": []})", "expectations is missing or not an array"},
        ExpectationFileRow{"NoName", R"({"expectations": [{"min_upload_gb_per_second": 1}]})",
                           "expectations[0] is not an object with a name"},
        ExpectationFileRow{"EmptyName", R"({"expectations": [{"name": ""}]})",
                           "expectations[0] is not an object with a name"},
        // A misspelt figure would otherwise judge nothing and pass every GPU.
        ExpectationFileRow{"MisspeltKey", R"({"expectations": [{"name": "H", "min_upload_gbps": 20}]})",
                           "expectations[0] has an unknown key \"min_upload_gbps\""},
        ExpectationFileRow{"NameTwice", R"({"expectations": [{"name": "H"}, {"name": "H"}]})",
                           "expectations[1]: \"H\" is expected twice"},
        ExpectationFileRow{"ZeroRate", R"({"expectations": [{"name": "H", "min_upload_gb_per_second": 0}]})",
                           "expectations[0].min_upload_gb_per_second is not a positive number"},
        ExpectationFileRow{"RateAsText", R"({"expectations": [{"name": "H", "min_sgemm_gflop_per_second": "9"}]})",
                           "expectations[0].min_sgemm_gflop_per_second is not a positive number"},
        ExpectationFileRow{"FractionalWidth", R"({"expectations": [{"name": "H", "pcie_link_width": 15.5}]})",
                           "expectations[0].pcie_link_width is not a positive whole number"},
        ExpectationFileRow{"HugeGeneration", R"({"expectations": [{"name": "H", "pcie_link_generation": 4294967301}]})",
                           "expectations[0].pcie_link_generation is not a positive whole number"}),
    [](const testing::TestParamInfo<ExpectationFileRow>& info) { return std::string(info.param.name); });

TEST(ReportExpectation, NamesEachFigureThatFallsShortAndJudgesNoFigureItLacks) {
    const ExpectationFile file = parseExpectations(
        R"({"expectations": [{"name": "H", "min_upload_gb_per_second": 20, "min_sgemm_gflop_per_second": 40000,
            "pcie_link_generation": 5, "pcie_link_width": 16, "max_temperature_celsius": 85}]})");
    ASSERT_EQ(file.problem, "");
    ASSERT_EQ(expectationFor(file.expectations, "H-PCIe"), nullptr) << "names match exactly";
    const Expectation* expectation = expectationFor(file.expectations, "H");
    ASSERT_NE(expectation, nullptr);

    ExpectedFigures met;
    met.uploadGbPerSecond = 20.0;  // the expectation itself is met
    met.sgemmGflopPerSecond = 50000.0;
    met.pcieLinkGeneration = 5;
    met.pcieLinkWidth = 16;
    met.maxTemperatureCelsius = 85.0;
    EXPECT_TRUE(shortfalls(*expectation, met).empty());
    EXPECT_TRUE(shortfalls(*expectation, ExpectedFigures{}).empty()) << "a figure not measured is not judged";

    ExpectedFigures short_;
    short_.uploadGbPerSecond = 3.1;
    short_.downloadGbPerSecond = 0.5;  // not expected of this model
    short_.sgemmGflopPerSecond = 39999.0;
    short_.pcieLinkGeneration = 5;
    short_.pcieLinkWidth = 8;
    short_.maxTemperatureCelsius = 91.0;
    EXPECT_EQ(shortfalls(*expectation, short_),
              (std::vector<std::string>{
                  "upload 3.10 GB/s below the expected 20.00", "SGEMM 39999.00 GFLOP/s below the expected 40000.00",
                  "PCIe link 5x8 under load below the expected 5x16", "temperature 91 C above the expected 85"}));
}

}  // namespace report
