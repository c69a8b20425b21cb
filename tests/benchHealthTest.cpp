// Device health end to end on the stand-in with its NVML: each fault shown by kavrel-bench's table and JSON, named by
// kavrel-fleet, and, on POSIX, in the Slurm health check's drain reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "childProcess.h"
#include "fleet/exitStatus.h"
#include "fleet/runFleet.h"
#include "support/fleetFixtures.h"

namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

// kavrel-bench-emulated on four devices with the NVML scenario and the arguments.
ChildRun runBench(std::vector<std::string> arguments, const Environment& more = {}) {
    ChildOptions options;
    options.arguments = std::move(arguments);
    options.environment = {{"KAVREL_EMULATED_DEVICES", "4"}};
    options.environment.insert(options.environment.end(), more.begin(), more.end());
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

// kavrel-fleet's problem lines for one report.
std::string fleetProblems(const ScratchFolder& folder, const std::string& report) {
    const std::string path = folder.write("node-a.json", report);
    std::vector<const char*> argv{"kavrel-fleet", "--problems", path.c_str()};
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    fleet::runFleet(static_cast<int>(argv.size()), argv.data(), in, out, err);
    return out.str();
}

const std::string kUuidPrefix = "GPU-4b617672-656c-4000-8000-454d550000";

}  // namespace

// Outside the anonymous namespace: a fixture there would give the test classes internal-linkage bases, which a
// unity build rejects.

// One health fault: the scenario, the run, and what it must show.
struct HealthRow {
    const char* name;
    Environment environment;       // KAVREL_EMULATED_NVML or KAVREL_NVML_LIBRARY
    std::vector<std::string> run;  // kavrel-bench's arguments, --json and --devices all added
    int status;
    int device;               // the device the fault is on, -1 for none
    std::string verdict;      // the failed verdict's detail, as its start; empty when no verdict fails
    std::string verdictName;  // the verdict that fails, or that reports without failing
    bool drains;              // the health check drains the node
};

void PrintTo(const HealthRow& row, std::ostream* out) {
    *out << row.name;
}

class DeviceHealthFault : public testing::TestWithParam<HealthRow> {};

TEST_P(DeviceHealthFault, IsShownByTheReportTheFleetAndTheHealthCheck) {
    const HealthRow& row = GetParam();
    std::vector<std::string> arguments = row.run;
    arguments.insert(arguments.end(), {"--devices", "all", "--sample-interval", "100ms"});
    std::vector<std::string> json = arguments;
    json.emplace_back("--json");
    const ChildRun run = runBench(json, row.environment);
    ASSERT_EQ(run.exitStatus, row.status) << run.standardError;
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << run.standardOutput;
    for (int index = 0; index < 4; ++index) {
        const nlohmann::json& health = report["devices"][index]["health"];
        const bool faulty = index == row.device && !row.verdict.empty();
        EXPECT_EQ(report["devices"][index]["status"], faulty ? "failed" : "passed") << index;
        EXPECT_EQ(health["passed"], !faulty) << index;
        EXPECT_EQ(report["devices"][index]["check"]["passed"], true) << "the products were right on " << index;
        if (faulty) {
            bool named = false;
            for (const nlohmann::json& verdict : health["verdicts"]) {
                named = named || (verdict["name"] == row.verdictName && verdict["passed"] == false &&
                                  verdict["detail"].get<std::string>().rfind(row.verdict, 0) == 0);
            }
            EXPECT_TRUE(named) << health["verdicts"].dump();
        } else if (index == row.device) {
            // Reported without failing: the share of samples it held in.
            bool reported = false;
            for (const nlohmann::json& verdict : health["verdicts"]) {
                reported =
                    reported || (verdict["name"] == row.verdictName && verdict["passed"] == true &&
                                 verdict["detail"].get<std::string>().find(" in 100% of samples") != std::string::npos);
            }
            EXPECT_TRUE(reported) << health["verdicts"].dump();
        }
    }

    const ChildRun table = runBench(arguments, row.environment);
    EXPECT_EQ(table.exitStatus, row.status);
    if (!row.verdict.empty()) {
        EXPECT_NE(table.standardOutput.find("Health verdict      FAILED: " + row.verdict), std::string::npos)
            << table.standardOutput;
    } else if (!row.verdictName.empty()) {
        EXPECT_NE(table.standardOutput.find("Throttling          " + row.verdictName + " 100% of samples ("),
                  std::string::npos)
            << table.standardOutput;
    }
    if (!row.verdict.empty()) {
        const ScratchFolder folder;
        const std::string problems = fleetProblems(folder, run.standardOutput);
        EXPECT_NE(problems.find("GPU " + std::to_string(row.device) + " " + kUuidPrefix + "0" +
                                std::to_string(row.device) + " " + row.verdict),
                  std::string::npos)
            << problems;
    }

#if !defined(_WIN32)
    // The health check, with a stand-in scontrol that records its arguments.
    const ScratchFolder folder;
    const std::string scontrol = folder.write("scontrol", "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\n");
    std::string command = "chmod +x '" + scontrol + "'; ";
    for (const auto& [name, value] : row.environment) {
        command += name + "='" + value + "' ";
    }
    std::string options = "--devices all --sample-interval 100ms";
    for (const std::string& argument : row.run) {
        options += " " + argument;
    }
    command += std::string("KAVREL_EMULATED_DEVICES=4 KAVREL_BENCH='") + KAVREL_BENCH_EMULATED_EXECUTABLE +
               "' KAVREL_FLEET='" + KAVREL_FLEET_EXECUTABLE + "' KAVREL_SCONTROL='" + scontrol +
               "' KAVREL_NODE_NAME=node-a KAVREL_HEALTHCHECK_MODE=health KAVREL_HEALTHCHECK_OPTIONS='" + options +
               "' bash '" + KAVREL_HEALTHCHECK_SCRIPT + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.drains ? 1 : 0);
    std::ifstream recorded(scontrol + ".args");
    const std::string drain((std::istreambuf_iterator<char>(recorded)), std::istreambuf_iterator<char>());
    if (row.drains) {
        EXPECT_NE(drain.find("reason=kavrel: GPU " + std::to_string(row.device) + " " + kUuidPrefix + "0" +
                             std::to_string(row.device) + " " + row.verdict),
                  std::string::npos)
            << drain;
    } else {
        EXPECT_EQ(drain, "");
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Stand_in, DeviceHealthFault,
    testing::Values(
        HealthRow{"DowntrainedLink",
                  {{"KAVREL_EMULATED_NVML", "2:link=3x8"}},
                  {"--iterations", "200"},
                  1,
                  2,
                  "PCIe link 3x8 under load, maximum 5x16",
                  "pcie_link",
                  true},
        HealthRow{
            "XidMidSoak", {{"KAVREL_EMULATED_NVML", "3:xid=79@2s"}}, {"--duration", "4s"}, 1, 3, "xid 79", "xid", true},
        HealthRow{"HardwareSlowdownForPartOfTheRun",
                  {{"KAVREL_EMULATED_NVML", "1:throttle=hw_slowdown@1500ms-2500ms"}},
                  // Order 256: the timed loop starts within the slowdown's window even under the sanitizers.
                  {"--size", "256", "--duration", "4s"},
                  1,
                  1,
                  "hw slowdown in ",
                  "hw_slowdown",
                  true},
        HealthRow{"NewUncorrectedEcc",
                  {{"KAVREL_EMULATED_NVML", "0:ecc_uncorrected+=1@1500ms"}},
                  {"--duration", "3s"},
                  1,
                  0,
                  "ecc: 1 new uncorrected error",
                  "ecc",
                  true},
        HealthRow{"SoftwarePowerCapAlone",
                  {{"KAVREL_EMULATED_NVML", "1:throttle=sw_power_cap"}},
                  {"--iterations", "200"},
                  0,
                  1,
                  "",
                  "sw_power_cap",
                  false},
        HealthRow{"SoftwarePowerCapWithFailOnThrottle",
                  {{"KAVREL_EMULATED_NVML", "1:throttle=sw_power_cap"}},
                  {"--iterations", "200", "--fail-on-throttle"},
                  1,
                  1,
                  "sw power cap in 100% of samples",
                  "sw_power_cap",
                  true},
        HealthRow{"NvmlAbsent",
                  {{"KAVREL_NVML_LIBRARY", "/nonexistent/libnvidia-ml.so.1"}},
                  {"--iterations", "50"},
                  0,
                  -1,
                  "",
                  "",
                  false},
        HealthRow{"SymbolMissing",
                  {{"KAVREL_NVML_LIBRARY", KAVREL_NVML_OLD_DRIVER_LIBRARY}},
                  {"--iterations", "50"},
                  0,
                  -1,
                  "",
                  "",
                  false}),
    [](const testing::TestParamInfo<HealthRow>& info) { return std::string(info.param.name); });

TEST(DeviceHealth, WithoutNvmlEveryReadingIsNotLoadedAndALackingDriverNamesWhatItLacks) {
    const ChildRun absent = runBench({"--devices", "all", "--iterations", "20", "--json"},
                                     {{"KAVREL_NVML_LIBRARY", "/nonexistent/libnvidia-ml.so.1"}});
    ASSERT_EQ(absent.exitStatus, 0) << absent.standardError;
    const nlohmann::json report = nlohmann::json::parse(absent.standardOutput);
    EXPECT_EQ(report["nvml"]["loaded"], false);
    EXPECT_EQ(report["nvml"]["problem"].get<std::string>().rfind("not loaded: /nonexistent/libnvidia-ml.so.1", 0), 0u);
    for (const nlohmann::json& device : report["devices"]) {
        EXPECT_EQ(device["health"]["available"], false);
        EXPECT_EQ(device["health"]["unavailable"].get<std::string>().rfind("not loaded: ", 0), 0u);
        EXPECT_TRUE(device["health"]["before"].is_null());
    }
    const ChildRun old = runBench({"--devices", "all", "--iterations", "50", "--json"},
                                  {{"KAVREL_NVML_LIBRARY", KAVREL_NVML_OLD_DRIVER_LIBRARY}});
    ASSERT_EQ(old.exitStatus, 0) << old.standardError;
    const nlohmann::json oldReport = nlohmann::json::parse(old.standardOutput);
    for (const nlohmann::json& device : oldReport["devices"]) {
        EXPECT_EQ(device["health"]["available"], true);
        EXPECT_EQ(device["health"]["unavailable_readings"], nlohmann::json({{"remapped_rows", "not supported"}}));
        EXPECT_TRUE(device["health"]["before"]["remapped_rows"].is_null());
        // The older name of the reasons' function stands in for the newer.
        EXPECT_FALSE(device["health"]["samples"]["clocks_event_reasons"].is_null());
    }
    // A reading the driver refuses is not supported too, and the others are read.
    const ChildRun refused =
        runBench({"--iterations", "50", "--json"}, {{"KAVREL_EMULATED_NVML", "0:unsupported=nvmlDeviceGetPowerUsage"}});
    const nlohmann::json refusedReport = nlohmann::json::parse(refused.standardOutput);
    EXPECT_EQ(refusedReport["devices"][0]["health"]["unavailable_readings"]["power_watts"], "not supported");
}

TEST(DeviceHealth, AnExpectationFailsANodeOfEquallySlowGpusThatPeersCannotTellApart) {
    // The stand-in's upload rate on this machine now, and an expectation of a tenth of it: met at full speed even
    // when the load of a shared machine halves the rate, missed by devices sixty times as slow.
    // Order 256 throughout: sixty times as slow, the stand-in's first products stay quick under the sanitizers.
    const ChildRun fast = runBench({"--devices", "all", "--size", "256", "--iterations", "100", "--json"});
    ASSERT_EQ(fast.exitStatus, 0) << fast.standardError;
    double slowest = 1e30;
    const nlohmann::json fastReport = nlohmann::json::parse(fast.standardOutput);
    for (const nlohmann::json& device : fastReport["devices"]) {
        slowest = std::min(slowest, device["timing"]["upload"]["gb_per_second"].get<double>());
    }
    const ScratchFolder folder;
    const std::string expectations = folder.write(
        "expect.json",
        nlohmann::json(
            {{"expectations", {{{"name", "Kavrel host stand-in"}, {"min_upload_gb_per_second", slowest / 10}}}}})
            .dump());
    const ChildRun met =
        runBench({"--devices", "all", "--size", "256", "--iterations", "100", "--expect", expectations, "--json"});
    EXPECT_EQ(met.exitStatus, 0) << met.standardError;
    const ChildRun slow = runBench({"--devices", "all", "--size", "256", "--iterations", "5", "--warmup", "0",
                                    "--outlier-margin", "50%", "--expect", expectations, "--json"},
                                   {{"KAVREL_EMULATED_SLOWDOWN", "0:60,1:60,2:60,3:60"}});
    EXPECT_EQ(slow.exitStatus, 1) << slow.standardError;
    const nlohmann::json report = nlohmann::json::parse(slow.standardOutput);
    EXPECT_TRUE(report["node"]["outliers"].empty()) << "equally slow devices are no outliers among themselves";
    for (const nlohmann::json& device : report["devices"]) {
        EXPECT_EQ(device["status"], "failed");
        ASSERT_EQ(device["health"]["expectation"].size(), 1u) << device["health"].dump();
        EXPECT_EQ(device["health"]["expectation"][0].get<std::string>().rfind("upload ", 0), 0u);
    }
    // kavrel-fleet takes the same file and finds the same shortfall in the report of the slowed node.
    const std::string path = folder.write("node.json", slow.standardOutput);
    std::vector<const char*> argv{"kavrel-fleet", "--problems", "--expect", expectations.c_str(), path.c_str()};
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(fleet::runFleet(static_cast<int>(argv.size()), argv.data(), in, out, err), fleet::kExitUnhealthy);
    EXPECT_NE(out.str().find(" below expectation: upload "), std::string::npos) << out.str();
    const ChildRun refused = runBench({"--expect", folder.write("bad.json", "{\"expectations\": [{}]}")});
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_EQ(refused.standardError.rfind("--expect: ", 0), 0u) << refused.standardError;
}
