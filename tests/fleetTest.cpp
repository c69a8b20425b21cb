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
#include "fleet/fleetOutput.h"
#include "fleet/fleetReport.h"
#include "support/fleetFixtures.h"

namespace fleet {

namespace {

// The sample node: one device passed with one recorded mismatch list entry, one ended in an error.
nlohmann::json sampleNode() {
    return nodeReport(
        "node17", {completedDevice(0, kH100, 2000.0), errorDevice(1, kH100, "!!!! kernel execution error.\n",
                                                                  "cublasSgemm_v2", "CUBLAS_STATUS_EXECUTION_FAILED")});
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
    EXPECT_EQ(completed.uuid, "GPU-node17-0");
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
    EXPECT_EQ(failed.error.message, "kernel execution error.");  // a marker and line break are removed
    EXPECT_EQ(failed.error.call, "cublasSgemm_v2");
    EXPECT_EQ(failed.error.statusCode, 13);
    EXPECT_EQ(errorText(failed.error), "kernel execution error. (cublasSgemm_v2: CUBLAS_STATUS_EXECUTION_FAILED)");
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
        UnusableReportRow{"SchemaTwo", [](nlohmann::json* d) { (*d)["schema"] = 2; },
                          "schema 2, but kavrel-fleet reads schema 3"},
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
                          "devices[0].name is missing or neither a string nor null"},
        UnusableReportRow{"NoUuid", [](nlohmann::json* d) { (*d)["devices"][0].erase("uuid"); },
                          "devices[0].uuid is missing or neither a string nor null"},
        UnusableReportRow{"UnknownStatus", [](nlohmann::json* d) { (*d)["devices"][0]["status"] = "PASSED"; },
                          "devices[0].status is \"PASSED\", not passed, failed or error"},
        UnusableReportRow{"ErrorMissing", [](nlohmann::json* d) { (*d)["devices"][1].erase("error"); },
                          "devices[1].error is missing or not an object"},
        UnusableReportRow{"ErrorAsText", [](nlohmann::json* d) { (*d)["devices"][1]["error"] = "failed"; },
                          "devices[1].error is missing or not an object"},
        UnusableReportRow{"ErrorMessageAsNumber", [](nlohmann::json* d) { (*d)["devices"][1]["error"]["message"] = 5; },
                          "devices[1].error.message is missing or neither a string nor null"},
        UnusableReportRow{"PassedWithWrongProducts",
                          [](nlohmann::json* d) { (*d)["devices"][0]["check"]["mismatch_count"] = 5; },
                          "inconsistent: devices[0] is passed with 5 wrong products"},
        UnusableReportRow{"PassedWithAFailedCheck",
                          [](nlohmann::json* d) {
                              (*d)["devices"][0]["check"]["passed"] = false;
                              (*d)["devices"][0]["check"]["verdict"] = "FAILED";
                          },
                          "inconsistent: devices[0] is passed but its check.passed is false"},
        UnusableReportRow{"VerdictAgainstPassed",
                          [](nlohmann::json* d) { (*d)["devices"][0]["check"]["verdict"] = "FAILED"; },
                          "inconsistent: devices[0].check.passed is true but its verdict is \"FAILED\""},
        UnusableReportRow{"NodePassedBesideAnError", [](nlohmann::json* d) { (*d)["node"]["verdict"] = "PASSED"; },
                          "inconsistent: node.verdict is PASSED but device 1 is error"},
        UnusableReportRow{"InterruptedWithoutSignal", [](nlohmann::json* d) { (*d)["interrupted"] = true; },
                          "interrupted is neither null nor an object naming its signal"},
        UnusableReportRow{"NoRate", [](nlohmann::json* d) { (*d)["devices"][0].erase("round_trips_per_second"); },
                          "devices[0].round_trips_per_second is missing or not a number"},
        UnusableReportRow{"NoMismatchCount",
                          [](nlohmann::json* d) { (*d)["devices"][0]["check"].erase("mismatch_count"); },
                          "devices[0].check.mismatch_count is missing or not a count"},
        UnusableReportRow{"RateAsText",
                          [](nlohmann::json* d) { (*d)["devices"][0]["timing"]["sgemm"]["gflop_per_second"] = "1"; },
                          "devices[0].timing.sgemm.gflop_per_second is not a number"},
        UnusableReportRow{"IndexTwice", [](nlohmann::json* d) { (*d)["devices"][1]["index"] = 0; },
                          "device index 0 appears twice"},
        UnusableReportRow{"UnknownWorkload", [](nlohmann::json* d) { (*d)["workload"] = "burn"; },
                          "workload is not \"round-trip\" or \"resident\""},
        // A resident report is judged by its SGEMM rate: without one there is nothing to judge, and a round-trip
        // rate in it would be compared with the wrong peers.
        UnusableReportRow{"ResidentWithoutSgemmRate",
                          [](nlohmann::json* d) {
                              (*d)["workload"] = "resident";
                              (*d)["devices"][0]["round_trips_per_second"] = nullptr;
                              (*d)["devices"][0]["timing"]["sgemm"] = nullptr;
                          },
                          "devices[0].timing.sgemm.gflop_per_second is missing in a report of the resident workload"},
        UnusableReportRow{"ResidentWithRoundTrips", [](nlohmann::json* d) { (*d)["workload"] = "resident"; },
                          "inconsistent: devices[0] has round_trips_per_second in a report of the resident workload"}),
    [](const testing::TestParamInfo<UnusableReportRow>& info) { return std::string(info.param.name); });

TEST(FleetAnalysis, GpusArePeersOnlyWithinOneWorkloadAndOrderAndResidentOnesAreJudgedBySgemm) {
    // Four resident H100s, one of them at half the SGEMM rate, beside four round-trip H100s at two orders.
    std::vector<nlohmann::json> resident;
    for (int index = 0; index < 4; ++index) {
        nlohmann::json device = completedDevice(index, kH100, 0.0, 0, index == 2 ? 25000.0 : 50000.0);
        device["round_trips_per_second"] = nullptr;
        resident.push_back(device);
    }
    nlohmann::json small = nodeReport("node-s", {completedDevice(0, kH100, 2000.0), completedDevice(1, kH100, 2000.0)});
    // The resident GPUs are node-s's, qualified by both workloads: the same GPU twice, not a copied report.
    nlohmann::json residentReport = nodeReport("node-s", resident);
    residentReport["workload"] = "resident";
    residentReport["matrix_order"] = 4096;
    nlohmann::json large = nodeReport("node-l", {completedDevice(0, kH100, 90.0), completedDevice(1, kH100, 90.0)});
    large["matrix_order"] = 8192;
    std::vector<NodeReport> reports;
    for (const auto& [document, name] :
         {std::pair<nlohmann::json, const char*>{residentReport, "r.json"}, {small, "s.json"}, {large, "l.json"}}) {
        const ReportParse parse = parseNodeReport(document.dump(), name);
        ASSERT_TRUE(parse.report) << parse.problem;
        reports.push_back(*parse.report);
    }
    const Fleet fleet = analyseFleet(reports, FleetSettings{});
    ASSERT_EQ(fleet.models.size(), 3u);
    std::vector<std::string> labels;
    for (const ModelSummary& model : fleet.models) {
        labels.push_back(model.label + " x" + std::to_string(model.gpus));
    }
    EXPECT_EQ(labels, (std::vector<std::string>{kH100 + " (round trips, order 1000) x2",
                                                kH100 + " (round trips, order 8192) x2",
                                                kH100 + " (resident, order 4096) x4"}));
    ASSERT_TRUE(fleet.models[2].sgemm) << "resident GPUs are compared by SGEMM without --compare-sgemm";
    std::vector<std::string> outliers;
    for (const FleetGpu& gpu : fleet.gpus) {
        if (gpu.outlier) {
            outliers.push_back(gpu.node + " " + std::to_string(gpu.gpu.index));
        }
    }
    EXPECT_EQ(outliers, std::vector<std::string>{"node-s 2"}) << "the 2000 and 90 round trips/s are no peers";
    EXPECT_EQ(fleet.warnings, std::vector<std::string>{});
    EXPECT_EQ(fleet.totals.nodes, 2u) << "node-s sent a report per workload";
    std::vector<std::string> order;
    for (const FleetGpu& gpu : fleet.gpus) {
        order.push_back(gpu.node + " " + std::to_string(gpu.gpu.index) + (gpu.gpu.resident ? " resident" : ""));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"node-l 0", "node-l 1", "node-s 0", "node-s 0 resident", "node-s 1",
                                               "node-s 1 resident", "node-s 2 resident", "node-s 3 resident"}));
    EXPECT_NE(fleetProblems(fleet).find("node-s GPU 2 GPU-node-s-2 (resident) slow SGEMM: "), std::string::npos)
        << fleetProblems(fleet);
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
    const Fleet withSgemm = analyseFleet(reports, FleetSettings{report::kDefaultOutlierMargin, true, {}, {}});
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
        FleetOptionsRow{"MarginWithAPointAndNoDigits",
                        {"--outlier-margin", "10.%"},
                        FleetParse::usageError,
                        "kavrel-fleet: --outlier-margin: \"10.%\" is not a fraction like 0.1 or a percentage like 10% "
                        "below 100%\nRun with --help for more information.\n"},
        FleetOptionsRow{"MarginTooLarge",
                        {"--outlier-margin", "100%"},
                        FleetParse::usageError,
                        "kavrel-fleet: --outlier-margin: \"100%\" is not a fraction like 0.1 or a percentage like 10% "
                        "below 100%\nRun with --help for more information.\n"},
        FleetOptionsRow{"ExpectedNodesMissing",
                        {"--expect-nodes"},
                        FleetParse::usageError,
                        "kavrel-fleet: --expect-nodes needs a value\nRun with --help for more information.\n"},
        FleetOptionsRow{"ExpectedNodesFileMissing",
                        {"--expect-nodes", "@/nonexistent/nodes.txt"},
                        FleetParse::usageError,
                        "kavrel-fleet: --expect-nodes: /nonexistent/nodes.txt cannot be read\nRun with --help for more "
                        "information.\n"},
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
    const char* expecting[] = {"kavrel-fleet", "--expect-nodes", "node-a,node-b node-c", "--expect-nodes=node-d"};
    ASSERT_EQ(parseFleetOptions(4, expecting, out, err, &options), FleetParse::run);
    EXPECT_EQ(options.settings.expectedNodes, (std::vector<std::string>{"node-a", "node-b", "node-c", "node-d"}));
    EXPECT_EQ(nodeNamesIn(" a,,b\n\tc "), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(FleetAnalysis, NodesMissingGpusOrInterruptedOrNotReportingAreProblemsAndACopiedReportAWarning) {
    nlohmann::json missing = nodeReport("node-b", {completedDevice(0, kH100, 1000)});
    missing["node"]["expected_devices"] = 4;
    missing["node"]["visible_devices"] = 3;
    missing["node"]["missing_devices"] = true;
    missing["node"]["verdict"] = "FAILED";
    nlohmann::json interrupted = nodeReport("node-a", {completedDevice(0, kH100, 1000)});
    interrupted["interrupted"] = {{"signal", "SIGTERM"}, {"after_seconds", 2.0}};
    nlohmann::json copy = nodeReport("node-c", {completedDevice(0, kH100, 1000)});
    copy["devices"][0]["uuid"] = "GPU-node-a-0";
    std::vector<NodeReport> reports;
    for (const nlohmann::json& document : {missing, interrupted, copy}) {
        const ReportParse parsed = parseNodeReport(document.dump(), "r.json");
        ASSERT_TRUE(parsed.report) << parsed.problem;
        reports.push_back(*parsed.report);
    }
    FleetSettings settings;
    settings.expectedNodes = {"node-d", "node-a", "node-b", "node-c"};
    const Fleet fleet = analyseFleet(reports, settings);
    ASSERT_EQ(fleet.nodeProblems.size(), 3u);
    EXPECT_EQ(fleet.nodeProblems[0].node, "node-a");
    EXPECT_EQ(fleet.nodeProblems[0].what, "interrupted by SIGTERM");
    EXPECT_EQ(fleet.nodeProblems[1].what, "missing GPUs: 3 of 4 expected are visible");
    EXPECT_EQ(fleet.nodeProblems[2].node, "node-d");
    EXPECT_EQ(fleet.nodeProblems[2].what, "no report");
    EXPECT_FALSE(fleet.totals.healthy);
    EXPECT_EQ(fleet.warnings, std::vector<std::string>{"GPU-node-a-0 is reported by 2 GPUs (node-a GPU 0, node-c GPU "
                                                       "0): a report copied under another node's name?"});
    EXPECT_EQ(fleetProblems(fleet),
              "node-a interrupted by SIGTERM\n"
              "node-b missing GPUs: 3 of 4 expected are visible\n"
              "node-d no report\n");
}

TEST(FleetOutput, ControlCharactersFromAReportAreShownEscaped) {
    EXPECT_EQ(printableText("node\r7\nx\ty\x01\x7F\xC3\xA9"), "node\\r7\\nx\\ty\\x01\\x7F\xC3\xA9");
    nlohmann::json document = nodeReport("evil\rnode", {completedDevice(0, "GPU\nname", 1000, 1)});
    const ReportParse parsed = parseNodeReport(document.dump(), "r.json");
    ASSERT_TRUE(parsed.report) << parsed.problem;
    const Fleet fleet = analyseFleet({*parsed.report}, FleetSettings{});
    const std::string problems = fleetProblems(fleet);
    EXPECT_EQ(problems, "evil\\rnode GPU 0 GPU-evil\\rnode-0 failed\n");
    const std::string table = fleetTable(fleet);
    EXPECT_EQ(table.find('\r'), std::string::npos) << table;
    EXPECT_NE(table.find("evil\\rnode    0  GPU\\nname"), std::string::npos) << table;
}

}  // namespace fleet
