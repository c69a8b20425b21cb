// The fleet view: every GPU of every node report, each compared with the GPUs of the same name, node-level problems,
// warnings, and the totals.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fleet/fleetReport.h"
#include "report/expectations.h"
#include "report/outlierMargin.h"
#include "report/statistics.h"

namespace fleet {

using report::PeerComparison;

// What the comparison looks at.
struct FleetSettings {
    double outlierMargin = report::kDefaultOutlierMargin;  // a fraction in [0, 1)
    bool compareSgemm = false;                             // also judge SGEMM GFLOP/s, besides round trips per second
    std::vector<std::string> expectedNodes;                // nodes that must have reported; none expected when empty
    std::vector<report::Expectation> expectations;         // what each GPU model must reach (--expect)
};

// One GPU of the fleet with its comparisons; a comparison is empty when the GPU has no such figure or its group
// is smaller than report::kMinimumPeers.
struct FleetGpu {
    std::string node;
    std::string source;
    GpuRecord gpu;
    std::optional<PeerComparison> roundTrips;
    std::optional<PeerComparison> sgemm;  // with FleetSettings::compareSgemm, and always for the resident workload
    bool outlier = false;                 // some comparison found it an outlier
    std::vector<std::string> shortfalls;  // where it fell below its model's expectation (FleetSettings::expectations)
    bool healthFailed = false;            // its report's health verdicts failed, or it fell short of its expectation
};

// The worst of each health reading over one node's GPUs; a figure is empty when no GPU had it.
struct NodeHealth {
    std::string node;
    std::size_t gpusRead = 0;    // GPUs with readings
    std::size_t gpusFailed = 0;  // GPUs whose health failed
    std::optional<double> maxTemperatureCelsius;
    std::optional<int> lowestLinkGeneration;  // under load
    std::optional<int> lowestLinkWidth;
    std::optional<double> hardwareThrottleShare;
    std::optional<double> softwareThrottleShare;
    long long newEccUncorrected = 0;
    long long xids = 0;
};

// The figures of every GPU of one name, workload and matrix order: how many there are and the centre each
// comparison used. Round trips are compared by round trips per second (and SGEMM GFLOP/s with compareSgemm), the
// resident workload by SGEMM GFLOP/s.
struct ModelSummary {
    std::string name;
    bool resident = false;
    std::optional<int> matrixOrder;
    std::string label;     // the name, with the workload and the order where they tell groups of one name apart
    std::size_t gpus = 0;  // every GPU of this name, those in error included
    std::optional<PeerComparison> roundTrips;  // median, MAD and peers; empty when not compared
    std::optional<PeerComparison> sgemm;
};

// A problem of a node as a whole rather than of one of its GPUs.
struct NodeProblem {
    std::string node;
    std::string what;  // "no report", "missing GPUs: 3 of 4 expected are visible", "interrupted by SIGTERM"
};

struct FleetTotals {
    std::size_t nodes = 0;
    std::size_t gpus = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t errors = 0;
    std::size_t outliers = 0;
    std::size_t nodeProblems = 0;
    std::size_t healthFailures = 0;  // GPUs whose health failed
    long long mismatches = 0;
    bool healthy = true;  // no GPU failed, none is in error or an outlier, and no node has a problem
};

struct Fleet {
    FleetSettings settings;
    std::vector<FleetGpu> gpus;             // ordered by node name, then device index
    std::vector<ModelSummary> models;       // ordered by name; GPUs without a name are in none
    std::vector<NodeProblem> nodeProblems;  // ordered by node name
    std::vector<NodeHealth> nodeHealth;     // one per node, ordered by name
    std::vector<std::string> warnings;      // what looks wrong but judges nothing, such as one UUID on two GPUs
    FleetTotals totals;
};

// Builds the fleet view of reports (whose node names the caller has made unique). A GPU is compared, figure by
// figure, with every GPU of exactly the same name, workload and matrix order that has that figure, across all nodes
// (see report::compareWithPeers). A GPU's health fails when its report's verdicts did or, with expectations, when its
// figures fall below its model's. A node is a problem when its devices are missing, its run was interrupted, or it
// is expected and did not report. A UUID reported for two GPUs is a warning naming both.
Fleet analyseFleet(const std::vector<NodeReport>& reports, const FleetSettings& settings);

}  // namespace fleet
