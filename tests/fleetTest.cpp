// In-process tests of kavrel-fleet: reading reports, the outlier rule, grouping by GPU name and the options.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/fleetAnalysis.h"
#include "fleet/fleetOptions.h"
#include "fleet/fleetReport.h"
#include "fleet/fleetStatistics.h"
#include "support/fleetFixtures.h"

namespace {

// The sample node: one device passed with one recorded mismatch list entry, one ended in an error.
nlohmann::json sampleNode() {
    return nodeReport("node17",
                      {completedDevice(0, kH100, 2000.0), errorDevice(1, kH100, "!!!! kernel execution error.\n")});
}

}  // namespace

TEST(FleetReport, ReadsTheFiguresOfACompletedDeviceAndTheMessageOfAFailedOne) {
    const ReportParse parsed = parseNodeReport(sampleNode().dump(), "node17.json");
    ASSERT_TRUE(parsed.report) << parsed.problem;
    const NodeReport& report = *parsed.report;
    EXPECT_EQ(report.node, "node17");
    EXPECT_EQ(report.source, "node17.json");
    ASSERT_EQ(report.gpus.size(), 2u);
    const GpuRecord& completed = report.gpus[0];
    EXPECT_EQ(completed.index, 0);
    EXPECT_EQ(completed.name, kH100);
    EXPECT_EQ(completed.uuid, "GPU-0");
    EXPECT_EQ(completed.status, GpuStatus::passed);
    EXPECT_EQ(completed.mismatches, 0);
    EXPECT_EQ(completed.sgemmGflops, 40000.0);
    EXPECT_EQ(completed.uploadGbps, 13.3);
    EXPECT_EQ(completed.downloadGbps, 13.25);
    EXPECT_EQ(completed.roundTripsPerSecond, 2000.0);
    const GpuRecord& failed = report.gpus[1];
    EXPECT_EQ(failed.index, 1);
    EXPECT_EQ(failed.status, GpuStatus::error);
    EXPECT_FALSE(failed.uuid);
    EXPECT_EQ(failed.error, "kernel execution error.");  // kavrel-bench's marker and line break removed
    EXPECT_FALSE(failed.roundTripsPerSecond);
    EXPECT_FALSE(failed.mismatches);
}

TEST(FleetReport, PhaseFiguresMayBeNullOrAbsentAndMismatchesMakeAFailedDevice) {
    nlohmann::json document = nodeReport("n", {completedDevice(0, kH100, 1.0, 3), completedDevice(1, kH100, 1.0)});
    document["devices"][0]["timing"]["sgemm"] = nullptr;
    document["devices"][0]["timing"]["upload"].erase("gb_per_second");
    document["devices"][1].erase("timing");
    const ReportParse parsed = parseNodeReport(document.dump(), "n.json");
    ASSERT_TRUE(parsed.report) << parsed.problem;
    EXPECT_EQ(parsed.report->gpus[0].status, GpuStatus::failed);
    EXPECT_EQ(parsed.report->gpus[0].mismatches, 3);
    EXPECT_FALSE(parsed.report->gpus[0].sgemmGflops);
    EXPECT_FALSE(parsed.report->gpus[0].uploadGbps);
    EXPECT_EQ(parsed.report->gpus[0].downloadGbps, 13.25);
    EXPECT_FALSE(parsed.report->gpus[1].sgemmGflops);
    EXPECT_EQ(parsed.report->gpus[1].roundTripsPerSecond, 1.0);
}

// One way a report can be unusable: what is done to a valid document, and the problem kavrel-fleet names.
struct UnusableReportRow {
    const char* name;
    std::function<void(nlohmann::json*)> damage;
    std::string problem;
};

void PrintTo(const UnusableReportRow& row, std::ostream* out) {
    *out << row.name;
}

class UnusableReport : public testing::TestWithParam<UnusableReportRow> {};

TEST_P(UnusableReport, IsRejectedWithTheProblemNamed) {
    nlohmann::json document = sampleNode();
    GetParam().damage(&document);
    const ReportParse parsed =
        parseNodeReport(document.is_string() ? document.get<std::string>() : document.dump(), "x.json");
    EXPECT_FALSE(parsed.report);
    EXPECT_EQ(parsed.problem, GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(
    FleetReport, UnusableReport,
    testing::Values(
        UnusableReportRow{"NotJson", [](nlohmann::json* d) { *d = "{\"schema\": 2,"; }, "not a JSON document"},
        UnusableReportRow{"Empty", [](nlohmann::json* d) { *d = ""; }, "empty, not a JSON document"},
        UnusableReportRow{"Array", [](nlohmann::json* d) { *d = nlohmann::json::array({1}); }, "not a JSON object"},
        UnusableReportRow{"NoSchema", [](nlohmann::json* d) { d->erase("schema"); },
                          "no schema version (is this a kavrel-bench report?)"},
        UnusableReportRow{"SchemaOne", [](nlohmann::json* d) { (*d)["schema"] = 1; },
                          "schema 1, but kavrel-fleet reads schema 2"},
        UnusableReportRow{"OtherProgram", [](nlohmann::json* d) { (*d)["program"] = "other"; },
                          "program is not \"kavrel-bench\""},
        UnusableReportRow{"NoHostName", [](nlohmann::json* d) { (*d)["host"].erase("name"); },
                          "host.name is missing or not a non-empty string"},
        UnusableReportRow{"EmptyHostName", [](nlohmann::json* d) { (*d)["host"]["name"] = ""; },
                          "host.name is missing or not a non-empty string"},
        UnusableReportRow{"NoDevices", [](nlohmann::json* d) { (*d)["devices"] = nlohmann::json::array(); },
                          "devices is missing or not a non-empty array"},
        UnusableReportRow{"IndexAsText", [](nlohmann::json* d) { (*d)["devices"][1]["index"] = "1"; },
                          "devices[1].index is missing or not a device index"},
        UnusableReportRow{"NegativeIndex", [](nlohmann::json* d) { (*d)["devices"][0]["index"] = -1; },
                          "devices[0].index is missing or not a device index"},
        UnusableReportRow{"NoName", [](nlohmann::json* d) { (*d)["devices"][0].erase("name"); },
                          "devices[0].name is missing or not a string"},
        UnusableReportRow{"NoUuid", [](nlohmann::json* d) { (*d)["devices"][0].erase("uuid"); },
                          "devices[0].uuid is missing or neither a string nor null"},
        UnusableReportRow{"UnknownStatus", [](nlohmann::json* d) { (*d)["devices"][0]["status"] = "PASSED"; },
                          "devices[0].status is \"PASSED\", not passed, failed or error"},
        UnusableReportRow{"ErrorWithoutMessage", [](nlohmann::json* d) { (*d)["devices"][1].erase("error"); },
                          "devices[1].error is missing or neither a string nor null"},
        UnusableReportRow{"NoRate", [](nlohmann::json* d) { (*d)["devices"][0].erase("round_trips_per_second"); },
                          "devices[0].round_trips_per_second is missing or not a number"},
        UnusableReportRow{"NoMismatchCount",
                          [](nlohmann::json* d) { (*d)["devices"][0]["check"].erase("mismatch_count"); },
                          "devices[0].check.mismatch_count is missing or not a count"},
        UnusableReportRow{"RateAsText",
                          [](nlohmann::json* d) { (*d)["devices"][0]["timing"]["sgemm"]["gflop_per_second"] = "1"; },
                          "devices[0].timing.sgemm.gflop_per_second is not a number"},
        UnusableReportRow{"IndexTwice", [](nlohmann::json* d) { (*d)["devices"][1]["index"] = 0; },
                          "device index 0 appears twice"}),
    [](const testing::TestParamInfo<UnusableReportRow>& info) { return std::string(info.param.name); });

TEST(FleetStatistics, MedianAndMadOfOddAndEvenCounts) {
    EXPECT_EQ(medianOf({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(medianOf({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(medianOf({}), 0.0);
    // Deviations from 2.5 are 1.5, 0.5, 0.5, 1.5.
    EXPECT_EQ(medianAbsoluteDeviation({4.0, 1.0, 3.0, 2.0}, 2.5), 1.0);
}

// One group of figures and which of them the rule flags.
struct OutlierRuleRow {
    const char* name;
    std::vector<double> figures;
    double margin;
    std::vector<bool> outliers;  // empty when the group is too small to be judged
};

void PrintTo(const OutlierRuleRow& row, std::ostream* out) {
    *out << row.name;
}

class OutlierRule : public testing::TestWithParam<OutlierRuleRow> {};

TEST_P(OutlierRule, FlagsExactlyTheFiguresTooFarBelowTheMedian) {
    const std::vector<PeerComparison> comparisons = compareWithPeers(GetParam().figures, GetParam().margin);
    std::vector<bool> outliers;
    for (const PeerComparison& comparison : comparisons) {
        outliers.push_back(comparison.outlier);
    }
    EXPECT_EQ(outliers, GetParam().outliers);
}

INSTANTIATE_TEST_SUITE_P(
    FleetStatistics, OutlierRule,
    testing::Values(
        // Median 100, MAD 1: the margin (10) decides; 85 is out, 91 is in, a fast GPU never is.
        OutlierRuleRow{"TightGroupMarginDecides",
                       {100, 101, 99, 100, 85, 91, 130},
                       0.10,
                       {false, false, false, false, true, false, false}},
        // Exactly at the bound (median 100 - 10) is not below it.
        OutlierRuleRow{"BoundItselfIsNotAnOutlier", {100, 100, 100, 90}, 0.10, {false, false, false, false}},
        // Median 100, MAD 10: 3 x 1.4826 x 10 = 44.5 allowed, wider than the margin, so 60 is in and 55 out.
        OutlierRuleRow{"NoisyGroupSpreadDecides",
                       {100, 100, 100, 110, 110, 90, 90, 60, 55},
                       0.10,
                       {false, false, false, false, false, false, false, false, true}},
        // No margin and no spread: anything below the median is out.
        OutlierRuleRow{"NoMarginNoSpread", {50, 50, 50, 49.99}, 0.0, {false, false, false, true}},
        OutlierRuleRow{"TwoGpusAreNotJudged", {100, 10}, 0.10, {}},
        OutlierRuleRow{"ThreeAreJudged", {100, 100, 10}, 0.10, {false, false, true}}),
    [](const testing::TestParamInfo<OutlierRuleRow>& info) { return std::string(info.param.name); });

TEST(FleetStatistics, ComparisonCarriesTheCentreAndTheDistanceFromIt) {
    const std::vector<PeerComparison> comparisons = compareWithPeers({100, 101, 99, 75}, 0.10);
    ASSERT_EQ(comparisons.size(), 4u);
    EXPECT_EQ(comparisons[3].peers, 4u);
    EXPECT_DOUBLE_EQ(comparisons[3].median, 99.5);
    EXPECT_DOUBLE_EQ(comparisons[3].mad, 1.0);
    EXPECT_DOUBLE_EQ(comparisons[3].allowance, 9.95);
    EXPECT_DOUBLE_EQ(comparisons[3].belowMedian, 24.5 / 99.5);
    EXPECT_DOUBLE_EQ(comparisons[1].belowMedian, -1.5 / 99.5);
}

TEST(FleetAnalysis, ComparesEachGpuOnlyWithGpusOfTheSameNameAcrossNodes) {
    // The A100s run at 60% of the H100s: only the slow GPU within each name is an outlier.
    const std::vector<NodeReport> reports = {
        *parseNodeReport(nodeReport("b", {completedDevice(0, kH100, 1000), completedDevice(1, kA100, 600)}).dump(),
                         "b.json")
             .report,
        *parseNodeReport(nodeReport("a", {completedDevice(1, kH100, 1000), completedDevice(0, kA100, 601)}).dump(),
                         "a.json")
             .report,
        *parseNodeReport(nodeReport("c", {completedDevice(0, kH100, 700), completedDevice(1, kA100, 599),
                                          completedDevice(2, kA100, 400)})
                             .dump(),
                         "c.json")
             .report};
    const Fleet fleet = analyseFleet(reports, FleetSettings{});
    std::vector<std::string> order;
    std::vector<std::string> outliers;
    for (const FleetGpu& gpu : fleet.gpus) {
        order.push_back(gpu.node + std::to_string(gpu.gpu.index));
        if (gpu.outlier) {
            outliers.push_back(gpu.node + std::to_string(gpu.gpu.index));
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"a0", "a1", "b0", "b1", "c0", "c1", "c2"}));
    EXPECT_EQ(outliers, (std::vector<std::string>{"c0", "c2"}));
    ASSERT_EQ(fleet.models.size(), 2u);
    EXPECT_EQ(fleet.models[0].name, kA100);
    EXPECT_EQ(fleet.models[0].gpus, 4u);
    EXPECT_DOUBLE_EQ(fleet.models[0].roundTrips->median, 599.5);
    EXPECT_EQ(fleet.totals.nodes, 3u);
    EXPECT_EQ(fleet.totals.gpus, 7u);
    EXPECT_EQ(fleet.totals.outliers, 2u);
    EXPECT_FALSE(fleet.totals.healthy);
}

TEST(FleetAnalysis, FailedAndErrorGpusMakeTheFleetUnhealthyWithoutDistortingTheComparison) {
    const std::vector<NodeReport> reports = {
        *parseNodeReport(nodeReport("a", {completedDevice(0, kH100, 1000), completedDevice(1, kH100, 1001, 2),
                                          errorDevice(2, kH100, "boom")})
                             .dump(),
                         "a.json")
             .report,
        *parseNodeReport(nodeReport("b", {completedDevice(0, kH100, 999)}).dump(), "b.json").report};
    const Fleet fleet = analyseFleet(reports, FleetSettings{});
    EXPECT_EQ(fleet.totals.passed, 2u);
    EXPECT_EQ(fleet.totals.failed, 1u);
    EXPECT_EQ(fleet.totals.errors, 1u);
    EXPECT_EQ(fleet.totals.outliers, 0u);
    EXPECT_EQ(fleet.totals.mismatches, 2);
    EXPECT_FALSE(fleet.totals.healthy);
    // The failed GPU's speed still counts; the one in error has none.
    EXPECT_EQ(fleet.models[0].roundTrips->peers, 3u);
    EXPECT_FALSE(fleet.gpus[2].roundTrips);
}

TEST(FleetAnalysis, SgemmIsJudgedOnlyWhenAskedAndAHealthyFleetIsHealthy) {
    const std::vector<NodeReport> reports = {
        *parseNodeReport(
             nodeReport("a", {completedDevice(0, kH100, 1000, 0, 40100), completedDevice(1, kH100, 1000),
                              completedDevice(2, kH100, 1000, 0, 20000), completedDevice(3, kH100, 1000, 0, 39900)})
                 .dump(),
             "a.json")
             .report};
    const Fleet roundTripsOnly = analyseFleet(reports, FleetSettings{});
    EXPECT_TRUE(roundTripsOnly.totals.healthy);
    EXPECT_FALSE(roundTripsOnly.gpus[2].sgemm);
    const Fleet withSgemm = analyseFleet(reports, FleetSettings{kDefaultOutlierMargin, true});
    EXPECT_TRUE(withSgemm.gpus[2].outlier);
    EXPECT_TRUE(withSgemm.gpus[2].sgemm->outlier);
    EXPECT_FALSE(withSgemm.gpus[2].roundTrips->outlier);
    EXPECT_FALSE(withSgemm.totals.healthy);
}

// A command line and what parsing makes of it.
struct FleetOptionsRow {
    const char* name;
    std::vector<const char*> arguments;
    FleetParse outcome;
    std::string errorText;  // for a usage error
};

void PrintTo(const FleetOptionsRow& row, std::ostream* out) {
    *out << row.name;
}

class FleetCommandLine : public testing::TestWithParam<FleetOptionsRow> {};

TEST_P(FleetCommandLine, EndsAsExpected) {
    std::vector<const char*> argv{"kavrel-fleet"};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    std::ostringstream out;
    std::ostringstream err;
    FleetOptions options;
    EXPECT_EQ(parseFleetOptions(static_cast<int>(argv.size()), argv.data(), out, err, &options), GetParam().outcome);
    EXPECT_EQ(err.str(), GetParam().errorText);
}

INSTANTIATE_TEST_SUITE_P(
    FleetOptions, FleetCommandLine,
    testing::Values(
        FleetOptionsRow{"Inputs", {"a.json", "dir", "-"}, FleetParse::run, ""},
        FleetOptionsRow{"MarginAfterEquals", {"--outlier-margin=5%", "--json"}, FleetParse::run, ""},
        FleetOptionsRow{"Help", {"--help", "--bogus"}, FleetParse::answered, ""},
        FleetOptionsRow{"UnknownOption",
                        {"--bogus"},
                        FleetParse::usageError,
                        "kavrel-fleet: unknown option --bogus\nRun with --help for more information.\n"},
        FleetOptionsRow{"MarginMissing",
                        {"--outlier-margin"},
                        FleetParse::usageError,
                        "kavrel-fleet: --outlier-margin needs a value\nRun with --help for more information.\n"},
        FleetOptionsRow{"MarginTooLarge",
                        {"--outlier-margin", "100%"},
                        FleetParse::usageError,
                        "kavrel-fleet: --outlier-margin: \"100%\" is not a fraction or percentage below 100%\n"
                        "Run with --help for more information.\n"},
        FleetOptionsRow{"StandardInputTwice",
                        {"-", "a", "-"},
                        FleetParse::usageError,
                        "kavrel-fleet: - (standard input) given more than once\nRun with --help for more "
                        "information.\n"},
        FleetOptionsRow{"FlagWithValue",
                        {"--json=yes"},
                        FleetParse::usageError,
                        "kavrel-fleet: --json takes no value\nRun with --help for more information.\n"}),
    [](const testing::TestParamInfo<FleetOptionsRow>& info) { return std::string(info.param.name); });

TEST(FleetOptions, DefaultsReadStandardInputAndDoubleDashEndsOptions) {
    std::ostringstream out;
    std::ostringstream err;
    FleetOptions options;
    const char* none[] = {"kavrel-fleet"};
    ASSERT_EQ(parseFleetOptions(1, none, out, err, &options), FleetParse::run);
    EXPECT_EQ(options.inputs, std::vector<std::string>{"-"});
    EXPECT_EQ(options.format, FleetFormat::table);
    EXPECT_EQ(options.settings.outlierMargin, 0.10);
    EXPECT_FALSE(options.settings.compareSgemm);
    const char* dashed[] = {"kavrel-fleet", "--problems", "--sgemm-outliers", "--", "--json"};
    ASSERT_EQ(parseFleetOptions(5, dashed, out, err, &options), FleetParse::run);
    EXPECT_EQ(options.inputs, std::vector<std::string>{"--json"});
    EXPECT_EQ(options.format, FleetFormat::problems);
    EXPECT_TRUE(options.settings.compareSgemm);
}

// A margin as written and the fraction it means; a negative fraction marks text that must be refused.
class OutlierMarginText : public testing::TestWithParam<std::pair<const char*, double>> {};

TEST_P(OutlierMarginText, IsReadAsAFractionBelowOne) {
    double fraction = -7.0;
    const bool accepted = parseOutlierMargin(GetParam().first, &fraction);
    EXPECT_EQ(accepted, GetParam().second >= 0.0);
    EXPECT_DOUBLE_EQ(fraction, accepted ? GetParam().second : -7.0);
}

INSTANTIATE_TEST_SUITE_P(FleetOptions, OutlierMarginText,
                         testing::Values(std::make_pair("0.1", 0.1), std::make_pair(".25", 0.25),
                                         std::make_pair("10%", 0.10), std::make_pair("12.5%", 0.125),
                                         std::make_pair("0", 0.0), std::make_pair("1", -1.0),
                                         std::make_pair("100%", -1.0), std::make_pair("-0.1", -1.0),
                                         std::make_pair("1e-1", -1.0), std::make_pair("%", -1.0),
                                         std::make_pair("", -1.0), std::make_pair("0.1.2", -1.0),
                                         std::make_pair("10 %", -1.0)));
