// Black-box tests of kavrel-fleet: its three report forms, its exit statuses and how it names unusable reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "childProcess.h"
#include "support/fleetFixtures.h"

namespace fleet {

namespace {

// Replaces every "{dir}" in text with folder, and every "{sep}" with the separator kavrel-fleet joins a folder and
// the reports it finds in it with ('\\' on Windows, '/' elsewhere).
std::string inFolder(std::string text, const std::string& folder) {
    for (std::size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}", at)) {
        text.replace(at, 5, folder);
        at += folder.size();
    }
    const std::string separator(1, static_cast<char>(std::filesystem::path::preferred_separator));
    for (std::size_t at = text.find("{sep}"); at != std::string::npos; at = text.find("{sep}", at)) {
        text.replace(at, 5, separator);
        at += separator.size();
    }
    return text;
}

ChildRun runFleet(const std::vector<std::string>& arguments, const std::string& standardInput = "") {
    ChildOptions options;
    options.arguments = arguments;
    options.standardInput = standardInput;
    return runChild(KAVREL_FLEET_EXECUTABLE, options);
}

// Three nodes: node-a healthy, node-b with a GPU whose product was wrong and one in error, node-c with a slow GPU
// (25% below the H100s' median) and the only A100s, of which there are too few to compare. A file that is not a
// report sits beside them and must be ignored.
void writeFleet(const ScratchFolder& folder) {
    folder.write("node-c.json",
                 nodeReport("node-c", {completedDevice(0, kH100, 1500.0), completedDevice(1, kA100, 900.0),
                                       completedDevice(2, kA100, 300.0)})
                     .dump());
    folder.write("node-a.json",
                 nodeReport("node-a", {completedDevice(0, kH100, 2000.0), completedDevice(1, kH100, 2010.0)}).dump());
    folder.write("node-b.json", nodeReport("node-b", {completedDevice(0, kH100, 1990.0, 2),
                                                      errorDevice(1, kH100, "!!!! kernel execution error.\n"),
                                                      completedDevice(2, kH100, 2006.0)})
                                    .dump(2));
    folder.write("README.txt", "not a report");
}

}  // namespace

TEST(FleetProgram, TableShowsEveryGpuAndNamesTheFailedTheErrorAndTheSlowOne) {
    const ScratchFolder folder;
    writeFleet(folder);
    const ChildRun run = runFleet({folder.path()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.standardOutput,
              "NODE    GPU  NAME                   UUID          STATUS  MISMATCHES  SGEMM GFLOP/s  UPLOAD GB/s  "
              "DOWNLOAD GB/s"
              "  ROUND TRIPS/s  VS MEDIAN  NOTE\n"
              "node-a    0  NVIDIA H100 80GB HBM3  GPU-node-a-0  passed           0       40000.00        13.30        "
              "  13.25"
              "        2000.00       0.0%\n"
              "node-a    1  NVIDIA H100 80GB HBM3  GPU-node-a-1  passed           0       40000.00        13.30        "
              "  13.25"
              "        2010.00      +0.5%\n"
              "node-b    0  NVIDIA H100 80GB HBM3  GPU-node-b-0  failed           2       40000.00        13.30        "
              "  13.25"
              "        1990.00      -0.5%\n"
              "node-b    1  NVIDIA H100 80GB HBM3  -             error            -              -            -        "
              "      -"
              "              -          -  error: kernel execution error.\n"
              "node-b    2  NVIDIA H100 80GB HBM3  GPU-node-b-2  passed           0       40000.00        13.30        "
              "  13.25"
              "        2006.00      +0.3%\n"
              "node-c    0  NVIDIA H100 80GB HBM3  GPU-node-c-0  passed           0       40000.00        13.30        "
              "  13.25"
              "        1500.00     -25.0%  slow\n"
              "node-c    1  NVIDIA A100-SXM4-80GB  GPU-node-c-1  passed           0       40000.00        13.30        "
              "  13.25"
              "         900.00          -\n"
              "node-c    2  NVIDIA A100-SXM4-80GB  GPU-node-c-2  passed           0       40000.00        13.30        "
              "  13.25"
              "         300.00          -\n"
              "\n"
              "GPU NAME               GPUS  ROUND TRIPS/s MEDIAN    MAD  OUTLIER BELOW\n"
              "NVIDIA A100-SXM4-80GB     2                     -      -              -\n"
              "NVIDIA H100 80GB HBM3     6               2000.00  10.00        1800.00\n"
              "\n"
              "3 nodes, 8 GPUs: 6 passed, 1 failed, 1 error, 1 outlier (margin 10.0%)\n"
              "Verdict  FAILED\n");
}

TEST(FleetProgram, ProblemsAreOneLineEachAndAWiderMarginClearsTheSlowGpu) {
    const ScratchFolder folder;
    writeFleet(folder);
    const ChildRun run = runFleet({"--problems", folder.path()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput,
              "node-b GPU 0 GPU-node-b-0 failed\n"
              "node-b GPU 1 NVIDIA H100 80GB HBM3 error: kernel execution error.\n"
              "node-c GPU 0 GPU-node-c-0 slow: 1500.00 round trips/s, 25.0% below the median 2000.00 of 5 GPUs\n");
    const ChildRun wide = runFleet({"--problems", "--outlier-margin", "30%", folder.path()});
    EXPECT_EQ(wide.exitStatus, 1);
    EXPECT_EQ(wide.standardOutput,
              "node-b GPU 0 GPU-node-b-0 failed\n"
              "node-b GPU 1 NVIDIA H100 80GB HBM3 error: kernel execution error.\n");
}

TEST(FleetProgram, JsonDocumentCarriesEveryGpuItsComparisonAndTheTotals) {
    const ScratchFolder folder;
    writeFleet(folder);
    const ChildRun run =
        runFleet({"--json", folder.path("node-c.json"), folder.path("node-a.json"), folder.path("node-b.json")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardError, "");
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput, nullptr, false);
    ASSERT_TRUE(report.is_object()) << run.standardOutput;
    EXPECT_EQ(report["schema"], 2);
    EXPECT_EQ(report["program"], "kavrel-fleet");
    EXPECT_EQ(report["outlier_rule"]["margin"], 0.1);
    ASSERT_EQ(report["gpus"].size(), 8u);
    const nlohmann::json& slow = report["gpus"][5];
    EXPECT_EQ(slow["node"], "node-c");
    EXPECT_EQ(slow["source"], folder.path("node-c.json"));
    EXPECT_EQ(slow["uuid"], "GPU-node-c-0");
    EXPECT_EQ(slow["round_trips_per_second"], 1500.0);
    EXPECT_EQ(slow["outlier"], true);
    EXPECT_EQ(slow["comparisons"]["round_trips_per_second"]["median"], 2000.0);
    EXPECT_EQ(slow["comparisons"]["round_trips_per_second"]["peers"], 5);
    EXPECT_EQ(slow["comparisons"]["round_trips_per_second"]["below_median"], 0.25);
    EXPECT_TRUE(slow["comparisons"]["sgemm_gflop_per_second"].is_null());
    const nlohmann::json& error = report["gpus"][3];
    EXPECT_EQ(error["status"], "error");
    EXPECT_EQ(error["error"]["message"], "kernel execution error.");
    EXPECT_EQ(error["error"]["text"], "kernel execution error.");
    EXPECT_TRUE(error["uuid"].is_null());
    EXPECT_TRUE(error["round_trips_per_second"].is_null());
    EXPECT_EQ(report["gpus"][2]["mismatches"], 2);
    EXPECT_EQ(report["totals"], nlohmann::json({{"nodes", 3},
                                                {"gpus", 8},
                                                {"passed", 6},
                                                {"failed", 1},
                                                {"errors", 1},
                                                {"outliers", 1},
                                                {"node_problems", 0},
                                                {"health_failures", 0},
                                                {"mismatches", 2},
                                                {"verdict", "FAILED"}}));
}

TEST(FleetProgram, HealthyFleetOnStandardInputPassesWithStatusZero) {
    const std::string report = nodeReport("solo", {completedDevice(0, kH100, 1000), completedDevice(1, kH100, 990),
                                                   completedDevice(2, kH100, 1010)})
                                   .dump();
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, std::vector<std::string>{"-"}}) {
        const ChildRun run = runFleet(arguments, report);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.standardError, "");
        const std::string verdict =
            "3 GPUs: 3 passed, 0 failed, 0 errors, 0 outliers (margin 10.0%)\nVerdict  PASSED\n";
        ASSERT_GE(run.standardOutput.size(), verdict.size());
        EXPECT_EQ(run.standardOutput.substr(run.standardOutput.size() - verdict.size()), verdict);
    }
    const ChildRun problems = runFleet({"--problems"}, report);
    EXPECT_EQ(problems.exitStatus, 0);
    EXPECT_EQ(problems.standardOutput, "");
}

const std::string kGoodReport = nodeReport("n1", {completedDevice(0, kH100, 1000)}).dump();

// A device marked passed beside five wrong products.
const std::string kInconsistentReport = [] {
    nlohmann::json document = nodeReport("n2", {completedDevice(0, kH100, 1000)});
    document["devices"][0]["check"]["mismatch_count"] = 5;
    return document.dump();
}();

TEST(FleetProgram, AGpuThatFailedBeforeItWasDescribedIsMergedAndNamed) {
    const ScratchFolder folder;
    nlohmann::json undescribed =
        errorDevice(2, kH100, "device query error", "cudaGetDeviceProperties", "cudaErrorUnknown");
    undescribed["name"] = nullptr;
    folder.write("node-a.json", nodeReport("node-a", {completedDevice(0, kH100, 1000), undescribed}).dump());
    folder.write("node-b.json", nodeReport("node-b", {completedDevice(0, kH100, 1010)}).dump());
    const ChildRun run = runFleet({"--problems", folder.path()});
    EXPECT_EQ(run.exitStatus, 1) << run.standardError;
    EXPECT_EQ(run.standardOutput,
              "node-a GPU 2 (unknown) error: device query error (cudaGetDeviceProperties: cudaErrorUnknown)\n");
    const ChildRun table = runFleet({folder.path()});
    EXPECT_NE(table.standardOutput.find("node-a    2  (unknown)"), std::string::npos) << table.standardOutput;
}

TEST(FleetProgram, ACopiedReportIsWarnedAboutAndAnExpectedNodeWithoutOneIsAProblem) {
    const ScratchFolder folder;
    const nlohmann::json original = nodeReport("node-a", {completedDevice(0, kH100, 1000)});
    nlohmann::json copy = original;
    copy["host"]["name"] = "node-b";
    folder.write("node-a.json", original.dump());
    folder.write("node-b.json", copy.dump());
    const ChildRun run = runFleet({"--problems", "--expect-nodes", "node-a,node-b,node-c", folder.path()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.standardOutput, "node-c no report\n");
    EXPECT_EQ(run.standardError,
              "kavrel-fleet: warning: GPU-node-a-0 is reported by 2 GPUs (node-a GPU 0, node-b "
              "GPU 0): a report copied under another node's name?\n");
}

#if !defined(_WIN32)
// Runs a shell command line; its exit status, or -1 when it did not exit.
int shellStatus(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FleetProgram, AReportThatCannotBeWrittenIsAFailureOfItsOwn) {
    const ScratchFolder folder;
    folder.write("n1.json", kGoodReport);
    const std::string fleet = std::string("'") + KAVREL_FLEET_EXECUTABLE + "' '" + folder.path() + "'";
    const std::string err = folder.path("err.txt");
    EXPECT_EQ(shellStatus(fleet + " >/dev/full 2>'" + err + "'"), 4);
    EXPECT_EQ(shellStatus(fleet + " >&- 2>/dev/null"), 4);
    // The reader is gone before the report is written; without SIGPIPE ending it, the write fails.
    EXPECT_EQ(shellStatus("{ sleep 1; " + fleet + " 2>/dev/null; echo $? >'" + folder.path("status.txt") +
                          "'; } | true; exit $(cat '" + folder.path("status.txt") + "')"),
              4);
    std::ifstream message(err);
    const std::string text((std::istreambuf_iterator<char>(message)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "kavrel-fleet: the report could not be written to standard output\n");
}

TEST(FleetProgram, AnEntryNamedLikeAReportThatCannotBeReadIsNamed) {
    const ScratchFolder folder;
    folder.write("node-a.json", kGoodReport);
    ASSERT_EQ(symlink(folder.path("gone.json.target").c_str(), folder.path("node-b.json").c_str()), 0);
    ASSERT_EQ(mkfifo(folder.path("node-c.json").c_str(), 0600), 0);
    const ChildRun run = runFleet({folder.path()});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "kavrel-fleet: " + folder.path("node-b.json") +
                                     ": a symbolic link to nothing, not a report file\n"
                                     "kavrel-fleet: " +
                                     folder.path("node-c.json") + ": a FIFO, not a report file\n");
}
#endif

// Inputs kavrel-fleet must refuse: the files written, the arguments ("{dir}" is the scratch folder), standard
// input, and exactly what it writes on standard error.
struct BadInputRow {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<std::string> arguments;
    std::string standardInput;
    std::string standardError;
};

void PrintTo(const BadInputRow& row, std::ostream* out) {
    *out << row.name;
}

class FleetBadInput : public testing::TestWithParam<BadInputRow> {};

TEST_P(FleetBadInput, IsNamedOnStandardErrorWithStatusTwoAndNothingOnStandardOutput) {
    const ScratchFolder folder;
    for (const auto& [name, text] : GetParam().files) {
        folder.write(name, text);
    }
    std::vector<std::string> arguments;
    for (const std::string& argument : GetParam().arguments) {
        arguments.push_back(inFolder(argument, folder.path()));
    }
    const ChildRun run = runFleet(arguments, GetParam().standardInput);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, inFolder(GetParam().standardError, folder.path()));
}

INSTANTIATE_TEST_SUITE_P(
    FleetProgram, FleetBadInput,
    testing::Values(
        BadInputRow{
            "GarbageOnStandardInput", {}, {}, "kavrel-bench: error", "kavrel-fleet: <stdin>: not a JSON document\n"},
        BadInputRow{"NothingOnStandardInput", {}, {"-"}, "", "kavrel-fleet: <stdin>: empty, not a JSON document\n"},
        BadInputRow{"OlderSchema",
                    {{"old.json", R"({"schema": 1, "program": "kavrel-bench"})"}},
                    {"{dir}/old.json"},
                    "",
                    "kavrel-fleet: {dir}/old.json: schema 1, but kavrel-fleet reads schema 3\n"},
        BadInputRow{"MissingFile",
                    {},
                    {"{dir}/absent.json"},
                    "",
                    "kavrel-fleet: {dir}/absent.json: cannot be read (No such file or directory)\n"},
        BadInputRow{"FolderWithoutReports",
                    {{"notes.txt", kGoodReport}},
                    {"{dir}"},
                    "",
                    "kavrel-fleet: {dir}: a folder without *.json reports\n"},
        BadInputRow{"SameNodeTwice",
                    {{"b.json", kGoodReport}, {"a.json", kGoodReport}},
                    {"{dir}"},
                    "",
                    "kavrel-fleet: {dir}{sep}b.json: node \"n1\" is also reported by {dir}{sep}a.json\n"},
        // Every unusable input is named, in the order given, even when others are good.
        BadInputRow{"EveryProblemNamed",
                    {{"r/1.json", kGoodReport}, {"r/2.json", "{}"}, {"r/3.json", ""}},
                    {"{dir}/r", "{dir}/absent.json", "-"},
                    "[]",
                    "kavrel-fleet: {dir}/r{sep}2.json: no schema version (is this a kavrel-bench report?)\n"
                    "kavrel-fleet: {dir}/r{sep}3.json: empty, not a JSON document\n"
                    "kavrel-fleet: {dir}/absent.json: cannot be read (No such file or directory)\n"
                    "kavrel-fleet: <stdin>: not a JSON object\n"},
        BadInputRow{"BadMargin",
                    {},
                    {"--outlier-margin", "ten", "{dir}"},
                    "",
                    "kavrel-fleet: --outlier-margin: \"ten\" is not a fraction like 0.1 or a percentage like 10% below "
                    "100%\nRun with --help for more information.\n"},
        BadInputRow{"FolderNamedLikeAReport",
                    {{"node-a.json", kGoodReport}, {"node-d.json/inner.txt", "x"}},
                    {"{dir}"},
                    "",
                    "kavrel-fleet: {dir}{sep}node-d.json: a folder, not a report file\n"},
        BadInputRow{"InconsistentReport",
                    {{"n.json", kInconsistentReport}},
                    {"{dir}/n.json"},
                    "",
                    "kavrel-fleet: {dir}/n.json: inconsistent: devices[0] is passed with 5 wrong products\n"}),
    [](const testing::TestParamInfo<BadInputRow>& info) { return std::string(info.param.name); });

}  // namespace fleet
