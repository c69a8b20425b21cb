// Grouping the fleet's GPUs by name, comparing each with its group, and finding the nodes' problems and warnings.
#include "fleet/fleetAnalysis.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace fleet {

namespace {

// Compares the figure that read picks out of every GPU in members (indices into gpus) and stores each comparison
// with store. Returns the group's comparison (of its first member), or empty when nothing was compared.
template <typename Read, typename Store>
std::optional<PeerComparison> compareGroup(std::vector<FleetGpu>* gpus, const std::vector<std::size_t>& members,
                                           double margin, Read read, Store store) {
    std::vector<std::size_t> measured;
    std::vector<double> figures;
    for (const std::size_t member : members) {
        const std::optional<double> figure = read((*gpus)[member].gpu);
        if (figure) {
            measured.push_back(member);
            figures.push_back(*figure);
        }
    }
    const std::vector<PeerComparison> comparisons = report::compareWithPeers(figures, margin);
    for (std::size_t position = 0; position < comparisons.size(); ++position) {
        store(&(*gpus)[measured[position]], comparisons[position]);
    }
    if (comparisons.empty()) {
        return std::nullopt;
    }
    return comparisons.front();
}

// The problems of one node's run as a whole.
void addNodeProblems(const NodeReport& report, std::vector<NodeProblem>* problems) {
    if (report.missingDevices) {
        const std::string visible = report.visibleDevices ? std::to_string(*report.visibleDevices) : "fewer";
        const std::string expected = report.expectedDevices ? std::to_string(*report.expectedDevices) : "more";
        problems->push_back(
            NodeProblem{report.node, "missing GPUs: " + visible + " of " + expected + " expected are visible"});
    }
    if (!report.interruptedBy.empty()) {
        problems->push_back(NodeProblem{report.node, "interrupted by " + report.interruptedBy});
    }
}

// One warning per UUID that two GPUs of one workload report: the same report copied under two names, or a
// misreading GPU. A GPU in a round-trip report and in a resident one is the same GPU qualified twice.
std::vector<std::string> duplicateUuids(const std::vector<FleetGpu>& gpus) {
    std::map<std::pair<std::string, bool>, std::vector<const FleetGpu*>> holders;
    for (const FleetGpu& entry : gpus) {
        if (entry.gpu.uuid) {
            holders[{*entry.gpu.uuid, entry.gpu.resident}].push_back(&entry);
        }
    }
    std::vector<std::string> warnings;
    for (const auto& [key, entries] : holders) {
        const std::string& uuid = key.first;
        if (entries.size() < 2) {
            continue;
        }
        std::string names;
        for (const FleetGpu* entry : entries) {
            names += names.empty() ? "" : ", ";
            names += entry->node + " GPU " + std::to_string(entry->gpu.index);
        }
        std::string warning = uuid;
        warning += " is reported by " + std::to_string(entries.size()) + " GPUs (";
        warning += names;
        warning += "): a report copied under another node's name?";
        warnings.push_back(warning);
    }
    return warnings;
}

// The figures a GPU's report gives, as an expectation judges them.
report::ExpectedFigures expectedFigures(const GpuRecord& gpu) {
    report::ExpectedFigures figures;
    figures.uploadGbPerSecond = gpu.uploadGbps;
    figures.downloadGbPerSecond = gpu.downloadGbps;
    figures.sgemmGflopPerSecond = gpu.sgemmGflops;
    figures.pcieLinkGeneration = gpu.health.linkGenerationUnderLoad;
    figures.pcieLinkWidth = gpu.health.linkWidthUnderLoad;
    figures.maxTemperatureCelsius = gpu.health.maxTemperatureCelsius;
    return figures;
}

// Keeps the larger of two optional figures (the smaller with below).
template <typename Value>
void keepWorst(std::optional<Value>* worst, const std::optional<Value>& figure, bool below = false) {
    if (figure && (!*worst || (below ? *figure < **worst : *figure > **worst))) {
        *worst = figure;
    }
}

// The worst readings of every node's GPUs.
std::vector<NodeHealth> nodeHealthOf(const std::vector<FleetGpu>& gpus) {
    std::vector<NodeHealth> nodes;
    for (const FleetGpu& entry : gpus) {
        if (nodes.empty() || nodes.back().node != entry.node) {
            nodes.push_back(NodeHealth{});
            nodes.back().node = entry.node;
        }
        NodeHealth& node = nodes.back();
        const GpuHealth& health = entry.gpu.health;
        node.gpusRead += health.read ? 1 : 0;
        node.gpusFailed += entry.healthFailed ? 1 : 0;
        keepWorst(&node.maxTemperatureCelsius, health.maxTemperatureCelsius);
        keepWorst(&node.lowestLinkGeneration, health.linkGenerationUnderLoad, true);
        keepWorst(&node.lowestLinkWidth, health.linkWidthUnderLoad, true);
        keepWorst(&node.hardwareThrottleShare, health.hardwareThrottleShare);
        keepWorst(&node.softwareThrottleShare, health.softwareThrottleShare);
        node.newEccUncorrected += health.newEccUncorrected.value_or(0);
        node.xids += health.xids;
    }
    return nodes;
}

}  // namespace

Fleet analyseFleet(const std::vector<NodeReport>& reports, const FleetSettings& settings) {
    Fleet fleet;
    fleet.settings = settings;
    std::set<std::string> reported;
    for (const NodeReport& report : reports) {
        reported.insert(report.node);
        addNodeProblems(report, &fleet.nodeProblems);
        for (const GpuRecord& gpu : report.gpus) {
            FleetGpu entry;
            entry.node = report.node;
            entry.source = report.source;
            entry.gpu = gpu;
            fleet.gpus.push_back(entry);
        }
    }
    for (const std::string& node :
         std::set<std::string>(settings.expectedNodes.begin(), settings.expectedNodes.end())) {
        if (reported.count(node) == 0) {
            fleet.nodeProblems.push_back(NodeProblem{node, "no report"});
        }
    }
    std::stable_sort(fleet.nodeProblems.begin(), fleet.nodeProblems.end(),
                     [](const NodeProblem& left, const NodeProblem& right) { return left.node < right.node; });
    std::sort(fleet.gpus.begin(), fleet.gpus.end(), [](const FleetGpu& left, const FleetGpu& right) {
        return std::make_tuple(left.node, left.gpu.index, left.gpu.resident) <
               std::make_tuple(right.node, right.gpu.index, right.gpu.resident);
    });
    fleet.warnings = duplicateUuids(fleet.gpus);

    // GPUs are peers only when they ran the same workload at the same order.
    using GroupKey = std::tuple<std::string, bool, int>;
    std::map<GroupKey, std::vector<std::size_t>> groups;
    std::map<std::pair<std::string, bool>, int> ordersOfName;
    for (std::size_t position = 0; position < fleet.gpus.size(); ++position) {
        const GpuRecord& gpu = fleet.gpus[position].gpu;
        if (gpu.name) {
            std::vector<std::size_t>& members = groups[GroupKey{*gpu.name, gpu.resident, gpu.matrixOrder.value_or(0)}];
            ordersOfName[{*gpu.name, gpu.resident}] += members.empty() ? 1 : 0;
            members.push_back(position);
        }
    }
    for (const auto& [group, members] : groups) {
        ModelSummary model;
        model.name = std::get<0>(group);
        model.resident = std::get<1>(group);
        if (std::get<2>(group) > 0) {
            model.matrixOrder = std::get<2>(group);
        }
        model.label = model.name;
        const bool ordersDiffer = ordersOfName[{model.name, model.resident}] > 1;
        if (model.resident || ordersDiffer) {
            model.label +=
                std::string(" (") + (model.resident ? "resident" : "round trips") +
                (model.matrixOrder && (ordersDiffer || model.resident) ? ", order " + std::to_string(*model.matrixOrder)
                                                                       : std::string()) +
                ")";
        }
        model.gpus = members.size();
        model.roundTrips = compareGroup(
            &fleet.gpus, members, settings.outlierMargin, [](const GpuRecord& gpu) { return gpu.roundTripsPerSecond; },
            [](FleetGpu* gpu, const PeerComparison& comparison) { gpu->roundTrips = comparison; });
        if (settings.compareSgemm || model.resident) {
            model.sgemm = compareGroup(
                &fleet.gpus, members, settings.outlierMargin, [](const GpuRecord& gpu) { return gpu.sgemmGflops; },
                [](FleetGpu* gpu, const PeerComparison& comparison) { gpu->sgemm = comparison; });
        }
        fleet.models.push_back(model);
    }

    FleetTotals& totals = fleet.totals;
    // A node qualified by both workloads sent two reports.
    std::set<std::string> nodes;
    for (const NodeReport& report : reports) {
        nodes.insert(report.node);
    }
    totals.nodes = nodes.size();
    totals.nodeProblems = fleet.nodeProblems.size();
    for (FleetGpu& entry : fleet.gpus) {
        entry.outlier = (entry.roundTrips && entry.roundTrips->outlier) || (entry.sgemm && entry.sgemm->outlier);
        if (entry.gpu.name && entry.gpu.status != GpuStatus::error) {
            if (const report::Expectation* expectation =
                    report::expectationFor(settings.expectations, *entry.gpu.name)) {
                entry.shortfalls = report::shortfalls(*expectation, expectedFigures(entry.gpu));
            }
        }
        entry.healthFailed = !entry.gpu.health.passed || !entry.shortfalls.empty();
        totals.healthFailures += entry.healthFailed ? 1 : 0;
        ++totals.gpus;
        switch (entry.gpu.status) {
            case GpuStatus::passed:
                ++totals.passed;
                break;
            case GpuStatus::failed:
                ++totals.failed;
                break;
            case GpuStatus::error:
                ++totals.errors;
                break;
        }
        totals.outliers += entry.outlier ? 1 : 0;
        totals.mismatches += entry.gpu.mismatches.value_or(0);
    }
    totals.healthy = totals.failed == 0 && totals.errors == 0 && totals.outliers == 0 && totals.nodeProblems == 0 &&
                     totals.healthFailures == 0;
    fleet.nodeHealth = nodeHealthOf(fleet.gpus);
    return fleet;
}

}  // namespace fleet
