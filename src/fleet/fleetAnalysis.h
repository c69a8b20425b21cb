// The fleet view: every GPU of every node report, each compared with the GPUs of the same name, and the totals.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fleet/fleetReport.h"
#include "fleet/fleetStatistics.h"

// What the comparison looks at.
struct FleetSettings {
    double outlierMargin = kDefaultOutlierMargin;  // a fraction in [0, 1)
    bool compareSgemm = false;                     // also judge SGEMM GFLOP/s, besides round trips per second
};

// One GPU of the fleet with its comparisons; a comparison is empty when the GPU has no such figure or its group
// is smaller than kMinimumPeers.
struct FleetGpu {
    std::string node;
    std::string source;
    GpuRecord gpu;
    std::optional<PeerComparison> roundTrips;
    std::optional<PeerComparison> sgemm;  // only with FleetSettings::compareSgemm
    bool outlier = false;                 // some comparison found it an outlier
};

// The figures of every GPU of one name: how many there are and the centre each comparison used.
struct ModelSummary {
    std::string name;
    std::size_t gpus = 0;                      // every GPU of this name, those in error included
    std::optional<PeerComparison> roundTrips;  // median, MAD and peers; empty when not compared
    std::optional<PeerComparison> sgemm;
};

struct FleetTotals {
    std::size_t nodes = 0;
    std::size_t gpus = 0;
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t errors = 0;
    std::size_t outliers = 0;
    long long mismatches = 0;
    bool healthy = true;  // no GPU failed, none is in error and none is an outlier
};

struct Fleet {
    FleetSettings settings;
    std::vector<FleetGpu> gpus;        // ordered by node name, then device index
    std::vector<ModelSummary> models;  // ordered by name
    FleetTotals totals;
};

// Builds the fleet view of reports (whose node names the caller has made unique). A GPU is compared, figure by
// figure, with every GPU of exactly the same name that has that figure, across all nodes (see compareWithPeers).
Fleet analyseFleet(const std::vector<NodeReport>& reports, const FleetSettings& settings);
