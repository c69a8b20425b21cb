// kavrel-bench's reports fed to kavrel-fleet: one program that includes both tools' headers and links both tools'
// libraries, running kavrel-bench-emulated for the reports and kavrel-fleet's run sequence over them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/benchFigures.h"
#include "bench/benchOptions.h"
#include "bench/benchReport.h"
#include "bench/deviceOutcome.h"
#include "bench/deviceRun.h"
#include "bench/exitStatus.h"
#include "bench/outputStream.h"
#include "bench/productVerifier.h"
#include "bench/progressLine.h"
#include "bench/reportJson.h"
#include "bench/reportTable.h"
#include "bench/runBench.h"
#include "bench/runGate.h"
#include "bench/sharedReference.h"
#include "bench/watchdog.h"
#include "childProcess.h"
#include "fleet/exitStatus.h"
#include "fleet/fleetAnalysis.h"
#include "fleet/fleetInputs.h"
#include "fleet/fleetOptions.h"
#include "fleet/fleetOutput.h"
#include "fleet/fleetReport.h"
#include "fleet/runFleet.h"
#include "support/fleetFixtures.h"

namespace {

// kavrel-bench-emulated's JSON report of a run with the arguments, the planned faults and more variables.
ChildRun benchReport(std::vector<std::string> arguments, const std::string& faults,
                     std::vector<std::pair<std::string, std::string>> environment) {
    arguments.emplace_back("--json");
    ChildOptions options;
    options.arguments = arguments;
    options.emulatedFaults = faults;
    options.environment = std::move(environment);
    return runChild(KAVREL_BENCH_EMULATED_EXECUTABLE, options);
}

// kavrel-fleet's run sequence over the inputs, with its output and messages.
struct FleetRun {
    int status;
    std::string out;
    std::string err;
};

FleetRun runFleetOn(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kavrel-fleet");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = fleet::runFleet(static_cast<int>(argv.size()), argv.data(), in, out, err);
    return FleetRun{status, out.str(), err.str()};
}

}  // namespace

TEST(ToolsTogether, KavrelFleetAcceptsEveryReportKavrelBenchWrites) {
    const ScratchFolder folder;
    // node-a: four devices, device 1 with a wrong product, device 2 slowed, device 3 failing before it is described.
    const ChildRun faulty = benchReport({"--devices", "all", "--iterations", "60", "--node-name", "node-a"},
                                        "corrupt:20@1,cudaGetDeviceProperties:1@3",
                                        {{"KAVREL_EMULATED_DEVICES", "4"}, {"KAVREL_EMULATED_SLOWDOWN", "2:4"}});
    EXPECT_EQ(faulty.exitStatus, bench::kExitRunFailed) << faulty.standardError;
    // node-b: every product checked by its first alone, phases apart, one device fewer than expected.
    const ChildRun sparse = benchReport({"--devices", "all", "--iterations", "10", "--check-first-only", "--phases",
                                         "--expect-devices", "3", "--node-name", "node-b"},
                                        "", {{"KAVREL_EMULATED_DEVICES", "2"}});
    EXPECT_EQ(sparse.exitStatus, bench::kExitRunFailed) << sparse.standardError;
    EXPECT_EQ(sparse.standardError, "!!!! expected 3 devices, the runtime sees 2\n");
    // node-c: a failing SGEMM, and a clean device beside it.
    const ChildRun failing = benchReport({"--devices", "0,1", "--iterations", "30", "--node-name", "node-c"},
                                         "cublasSgemm_v2:5@0", {{"KAVREL_EMULATED_DEVICES", "2"}});
    EXPECT_EQ(failing.exitStatus, bench::kExitRunFailed) << failing.standardError;
    for (const auto& [name, run] :
         {std::pair<const char*, const ChildRun*>{"node-a", &faulty}, {"node-b", &sparse}, {"node-c", &failing}}) {
        const fleet::ReportParse parsed = fleet::parseNodeReport(run->standardOutput, name);
        EXPECT_TRUE(parsed.report) << name << ": " << parsed.problem;
        folder.write(std::string(name) + ".json", run->standardOutput);
    }

    // Rates of separate runs on one shared machine scatter widely; this test is about the reports being merged, so
    // only a GPU at a small fraction of its peers' rate is named slow.
    const FleetRun problems = runFleetOn({"--problems", "--outlier-margin", "90%", folder.path()});
    EXPECT_EQ(problems.status, fleet::kExitUnhealthy) << problems.err;
    // The stand-in gives the same UUIDs on every node, as one report copied under three names would.
    EXPECT_NE(problems.err.find("kavrel-fleet: warning: GPU-4b617672-656c-4000-8000-454d55000000 is reported by 3 "
                                "GPUs"),
              std::string::npos)
        << problems.err;
    const std::string expected =
        "node-a GPU 1 GPU-4b617672-656c-4000-8000-454d55000001 failed\n"
        "node-a GPU 3 (unknown) error: device query error (cudaGetDeviceProperties: "
        "cudaErrorUnknown)\n"
        "node-c GPU 0 GPU-4b617672-656c-4000-8000-454d55000000 error: kernel execution error. "
        "(cublasSgemm_v2: "
        "CUBLAS_STATUS_EXECUTION_FAILED)\n"
        "node-b missing GPUs: 2 of 3 expected are visible\n";
    // The slowed GPU may also be named, as slow, on a quiet machine; everything else must be exactly this.
    std::string named;
    std::istringstream lines(problems.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("node-a GPU 2 ", 0) != 0) {
            named += line + "\n";
        }
    }
    EXPECT_EQ(named, expected) << problems.out;
    const FleetRun json = runFleetOn({"--json", folder.path()});
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["totals"]["nodes"], 3);
    EXPECT_EQ(document["totals"]["gpus"], 8);
    EXPECT_EQ(document["totals"]["node_problems"], 1);
}
