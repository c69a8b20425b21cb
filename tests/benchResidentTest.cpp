// The resident workload end to end on four stand-in devices: corrupt products found on the device at their
// iterations, a failing level-1 call, outliers by GFLOP/s, the rate series beside NVML's clocks, TF32, and
// kavrel-fleet's comparison of resident GPUs apart from round trips.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
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

// kavrel-bench-emulated's resident workload at a small order on four devices, with more arguments and variables.
ChildRun runResident(std::vector<std::string> arguments, const Environment& more = {}) {
    ChildOptions options;
    options.arguments = {"--workload", "resident", "--size", "128", "--devices", "all"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = {{"KAVREL_EMULATED_DEVICES", "4"}};
    options.environment.insert(options.environment.end(), more.begin(), more.end());
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

nlohmann::json parsed(const ChildRun& run) {
    const nlohmann::json report = nlohmann::json::parse(run.standardOutput, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << run.standardOutput << run.standardError;
    return report;
}

}  // namespace

TEST(ResidentWorkload, CorruptProductsOnOneDeviceAreEachFoundAtTheirIteration) {
    // SGEMM call 1 is the warm-up, so call N computes product N - 1; the first product is checked on the host and
    // calls no cublasSasum_v2, so sum N belongs to product N + 1.
    const ChildRun run = runResident(
        {"--duration", "5s", "--json"},
        {{"KAVREL_EMULATED_FAULTS", "corrupt:cublasSgemm_v2:41@2,corrupt:301@2,corrupt:cublasSasum_v2:100@2"}});
    EXPECT_EQ(run.exitStatus, 1) << run.standardError;
    const nlohmann::json report = parsed(run);
    EXPECT_EQ(report["workload"], "resident");
    EXPECT_EQ(report["products_checked_on"], "device");
    for (int index : {0, 1, 3}) {
        EXPECT_EQ(report["devices"][index]["status"], "passed") << index;
        EXPECT_GT(report["devices"][index]["products"].get<long>(), 300);
    }
    const nlohmann::json& check = report["devices"][2]["check"];
    EXPECT_EQ(report["devices"][2]["status"], "failed");
    EXPECT_EQ(check["mismatch_count"], 3);
    EXPECT_EQ(check["verified_products"], report["devices"][2]["products"]) << "every product was checked";
    const nlohmann::json expected = nlohmann::json::parse(R"([
        {"iteration": 40, "judged_against": "yardstick", "differing_elements": 1, "largest_difference": null,
         "relative_l2_error": null, "device_check_only": false},
        {"iteration": 101, "judged_against": "yardstick", "differing_elements": 0, "largest_difference": 0.0,
         "relative_l2_error": null, "device_check_only": true},
        {"iteration": 300, "judged_against": "yardstick", "differing_elements": 1, "largest_difference": null,
         "relative_l2_error": null, "device_check_only": false}])");
    EXPECT_EQ(check["mismatches"], expected);
}

TEST(ResidentWorkload, AFailingLevelOneCallIsAnErrorOfItsDeviceAloneAndTheOthersComplete) {
    const ChildRun run =
        runResident({"--duration", "5s", "--json"}, {{"KAVREL_EMULATED_FAULTS", "cublasSasum_v2:50@1"}});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.standardError, "!!!! device 1: device check error (cublasSasum_v2)\n");
    const nlohmann::json report = parsed(run);
    const nlohmann::json& failed = report["devices"][1];
    EXPECT_EQ(failed["status"], "error");
    EXPECT_EQ(failed["error"]["call"], "cublasSasum_v2");
    EXPECT_EQ(failed["error"]["status_name"], "CUBLAS_STATUS_EXECUTION_FAILED");
    for (int index : {0, 2, 3}) {
        EXPECT_EQ(report["devices"][index]["status"], "passed") << index;
        EXPECT_GT(report["devices"][index]["products"].get<long>(), 0);
    }
}

TEST(ResidentWorkload, ADeviceSlowedFourfoldIsTheOnlyOutlierJudgedByGflops) {
    // Four stand-in devices share the host's cores, so their rates differ by a load's noise: a wide margin keeps the
    // healthy ones in, and a fourfold slowdown is far outside it.
    const ChildRun run =
        runResident({"--duration", "5s", "--outlier-margin", "50%", "--json"}, {{"KAVREL_EMULATED_SLOWDOWN", "3:4"}});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parsed(run);
    EXPECT_EQ(report["node"]["outliers"], nlohmann::json::array({3})) << report["node"].dump();
    EXPECT_EQ(report["node"]["outliers_judged_by"], "sgemm_gflop_per_second");
    EXPECT_TRUE(report["devices"][3]["round_trips_per_second"].is_null());
    EXPECT_LT(report["devices"][3]["timing"]["sgemm"]["gflop_per_second"].get<double>(),
              report["devices"][0]["timing"]["sgemm"]["gflop_per_second"].get<double>() / 2);
}

TEST(ResidentWorkload, ClocksThatDropHalfWayThroughASoakShowInTheSeriesAndFlagTheDevice) {
    // The stand-in's NVML halves device 1's SM clock 3 s in, and its work takes twice as long from then on.
    const Environment dropped{{"KAVREL_EMULATED_NVML", "1:sm_clock=990@3s"}, {"KAVREL_EMULATED_SLOWDOWN", "1:2@3s"}};
    const std::vector<std::string> soak{"--duration", "6s", "--interval", "1s", "--sample-interval", "100ms"};
    std::vector<std::string> json = soak;
    json.insert(json.end(), {"--json", "--fail-on-throttle"});
    const ChildRun run = runResident(json, dropped);
    EXPECT_EQ(run.exitStatus, 1) << "--fail-on-throttle fails a device whose rate fell";
    const nlohmann::json report = parsed(run);
    const nlohmann::json& device = report["devices"][1];
    ASSERT_GE(device["intervals"].size(), 4u) << device["intervals"].dump();
    EXPECT_EQ(device["intervals"].front()["sm_clock_mhz"], 1980.0);
    EXPECT_EQ(device["intervals"][device["intervals"].size() - 2]["sm_clock_mhz"], 990.0);
    EXPECT_TRUE(device["rate_fell"].get<bool>()) << device["intervals"].dump();
    EXPECT_GT(device["rate_fall"].get<double>(), 0.25);
    EXPECT_EQ(device["health"]["verdicts"][0]["name"], "rate");
    EXPECT_EQ(device["health"]["verdicts"][0]["passed"], false);
    EXPECT_EQ(device["health"]["verdicts"][0]["detail"].get<std::string>().rfind("rate fell ", 0), 0u);

    // Without --fail-on-throttle the fall is shown, in the series and the row, and fails nothing.
    const ChildRun table = runResident(soak, dropped);
    EXPECT_EQ(table.exitStatus, 0) << table.standardOutput;
    const std::size_t row = table.standardOutput.find("\n1      Kavrel host stand-in");
    ASSERT_NE(row, std::string::npos) << table.standardOutput;
    const std::string rowText = table.standardOutput.substr(row + 1, table.standardOutput.find('\n', row + 1) - row);
    EXPECT_NE(rowText.find(" PASSED"), std::string::npos) << rowText;
    EXPECT_NE(rowText.find("(rate fell)"), std::string::npos) << rowText;
    EXPECT_NE(table.standardOutput.find("  SM 990 MHz"), std::string::npos);
    EXPECT_NE(table.standardOutput.find("from the best interval to the last, more than 10%: flagged"),
              std::string::npos);
}

TEST(ResidentWorkload, Tf32ProductsPassTheirThresholdAndStayBitForBitRepeatable) {
    for (const char* workload : {"resident", "round-trip"}) {
        ChildOptions options;
        options.arguments = {"--workload", workload, "--size", "256",   "--iterations",
                             "100",        "--math", "tf32",   "--json"};
        const ChildRun run = runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
        EXPECT_EQ(run.exitStatus, 0) << workload << run.standardError;
        const nlohmann::json report = parsed(run);
        EXPECT_EQ(report["math"], "tf32");
        const nlohmann::json& check = report["devices"][0]["check"];
        EXPECT_GT(check["threshold"].get<double>(), 1.9e-3) << workload;
        // TF32 inputs err far more than single precision's, and far less than the bound.
        EXPECT_GT(check["relative_l2_error"].get<double>(), 1e-6) << workload;
        EXPECT_EQ(check["verified_products"], 100);
        EXPECT_EQ(check["mismatch_count"], 0);
    }
}

TEST(ResidentWorkload, FleetComparesResidentGpusByGflopsAndApartFromRoundTrips) {
    const ScratchFolder folder;
    const ChildRun healthy = runResident({"--iterations", "2000", "--json", "--node-name", "node-a"});
    // Twenty times as slow stands out of a load's noise between separate runs of the stand-in; a margin of 75% keeps
    // the healthy GPUs of short runs that shared the processors differently from being outliers.
    const ChildRun slowed = runResident({"--iterations", "2000", "--json", "--node-name", "node-b"},
                                        {{"KAVREL_EMULATED_SLOWDOWN", "1:20"}, {"KAVREL_EMULATED_NODE", "1"}});
    ChildOptions roundTrips;
    roundTrips.arguments = {"--devices", "all", "--iterations", "20", "--json", "--node-name", "node-c"};
    roundTrips.environment = {{"KAVREL_EMULATED_DEVICES", "4"}, {"KAVREL_EMULATED_NODE", "2"}};
    const ChildRun other = runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, roundTrips);
    ASSERT_EQ(healthy.exitStatus, 0) << healthy.standardError;
    ASSERT_EQ(slowed.exitStatus, 0) << slowed.standardError;
    ASSERT_EQ(other.exitStatus, 0) << other.standardError;
    const std::string a = folder.write("node-a.json", healthy.standardOutput);
    const std::string b = folder.write("node-b.json", slowed.standardOutput);
    const std::string c = folder.write("node-c.json", other.standardOutput);

    std::vector<const char*> argv{"kavrel-fleet", "--json", "--outlier-margin", "75%", a.c_str(), b.c_str(), c.c_str()};
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(fleet::runFleet(static_cast<int>(argv.size()), argv.data(), in, out, err), fleet::kExitUnhealthy)
        << err.str();
    const nlohmann::json fleetReport = nlohmann::json::parse(out.str());
    ASSERT_EQ(fleetReport["models"].size(), 2u) << fleetReport["models"].dump();
    EXPECT_EQ(fleetReport["models"][0]["workload"], "round-trip");
    EXPECT_EQ(fleetReport["models"][0]["gpus"], 4);
    EXPECT_EQ(fleetReport["models"][1]["workload"], "resident");
    EXPECT_EQ(fleetReport["models"][1]["judged_by"], "sgemm_gflop_per_second");
    EXPECT_EQ(fleetReport["models"][1]["gpus"], 8);
    std::vector<std::string> outliers;
    for (const nlohmann::json& gpu : fleetReport["gpus"]) {
        if (gpu["outlier"] == true) {
            outliers.push_back(gpu["node"].get<std::string>() + " " + std::to_string(gpu["index"].get<int>()));
        }
    }
    EXPECT_EQ(outliers, std::vector<std::string>{"node-b 1"});
}

TEST(ResidentWorkload, ALinkIsNotJudgedFromSamplesWithoutBulkTransfers) {
    // A real link steps down while idle; the resident workload's reading of its sums waits for the SGEMMs with the
    // link idle, so its samples must not judge the link (the round trips do).
    const ChildRun run = runResident({"--duration", "2s", "--sample-interval", "10ms", "--json"},
                                     {{"KAVREL_EMULATED_NVML", "2:link=3x8"}});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const nlohmann::json report = parsed(run);
    const nlohmann::json& health = report["devices"][2]["health"];
    EXPECT_GT(health["samples"]["count"].get<long>(), 10) << health.dump();
    for (const nlohmann::json& verdict : health["verdicts"]) {
        EXPECT_NE(verdict["name"], "pcie_link") << verdict.dump();
    }
}

#if !defined(_WIN32)
TEST(ResidentWorkload, TheHealthChecksBurstDrainsANodeWhoseRoundTripsPassed) {
    // cublasSasum_v2 runs only in the resident workload, so the round trips pass and the burst alone finds the sum.
    const ScratchFolder folder;
    const std::string scontrol = folder.write("scontrol", "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\n");
    const std::string command =
        "chmod +x '" + scontrol + "'; KAVREL_EMULATED_DEVICES=4 KAVREL_EMULATED_FAULTS=corrupt:cublasSasum_v2:5@2 " +
        "KAVREL_BENCH='" + KAVREL_BENCH_EMULATED_EXECUTABLE + "' KAVREL_FLEET='" + KAVREL_FLEET_EXECUTABLE +
        "' KAVREL_SCONTROL='" + scontrol + "' KAVREL_NODE_NAME=node-a KAVREL_HEALTHCHECK_MODE=health " +
        "KAVREL_HEALTHCHECK_OPTIONS='--devices all --iterations 20' " +
        "KAVREL_HEALTHCHECK_RESIDENT='--devices all --size 128 --iterations 200' bash '" + KAVREL_HEALTHCHECK_SCRIPT +
        "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream recorded(scontrol + ".args");
    const std::string drain((std::istreambuf_iterator<char>(recorded)), std::istreambuf_iterator<char>());
    EXPECT_NE(drain.find("reason=kavrel: resident burst: GPU 2 GPU-"), std::string::npos) << drain;
    EXPECT_NE(drain.find(" failed"), std::string::npos) << drain;
}
#endif
