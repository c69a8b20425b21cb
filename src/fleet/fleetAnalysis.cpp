// Grouping the fleet's GPUs by name, comparing each with its group, and counting the outcomes.
#include "fleet/fleetAnalysis.h"

#include <algorithm>
#include <map>

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
    const std::vector<PeerComparison> comparisons = compareWithPeers(figures, margin);
    for (std::size_t position = 0; position < comparisons.size(); ++position) {
        store(&(*gpus)[measured[position]], comparisons[position]);
    }
    if (comparisons.empty()) {
        return std::nullopt;
    }
    return comparisons.front();
}

}  // namespace

Fleet analyseFleet(const std::vector<NodeReport>& reports, const FleetSettings& settings) {
    Fleet fleet;
    fleet.settings = settings;
    for (const NodeReport& report : reports) {
        for (const GpuRecord& gpu : report.gpus) {
            FleetGpu entry;
            entry.node = report.node;
            entry.source = report.source;
            entry.gpu = gpu;
            fleet.gpus.push_back(entry);
        }
    }
    std::sort(fleet.gpus.begin(), fleet.gpus.end(), [](const FleetGpu& left, const FleetGpu& right) {
        return left.node != right.node ? left.node < right.node : left.gpu.index < right.gpu.index;
    });

    std::map<std::string, std::vector<std::size_t>> groups;
    for (std::size_t position = 0; position < fleet.gpus.size(); ++position) {
        groups[fleet.gpus[position].gpu.name].push_back(position);
    }
    for (const auto& [name, members] : groups) {
        ModelSummary model;
        model.name = name;
        model.gpus = members.size();
        model.roundTrips = compareGroup(
            &fleet.gpus, members, settings.outlierMargin, [](const GpuRecord& gpu) { return gpu.roundTripsPerSecond; },
            [](FleetGpu* gpu, const PeerComparison& comparison) { gpu->roundTrips = comparison; });
        if (settings.compareSgemm) {
            model.sgemm = compareGroup(
                &fleet.gpus, members, settings.outlierMargin, [](const GpuRecord& gpu) { return gpu.sgemmGflops; },
                [](FleetGpu* gpu, const PeerComparison& comparison) { gpu->sgemm = comparison; });
        }
        fleet.models.push_back(model);
    }

    fleet.totals.nodes = reports.size();
    for (FleetGpu& entry : fleet.gpus) {
        entry.outlier = (entry.roundTrips && entry.roundTrips->outlier) || (entry.sgemm && entry.sgemm->outlier);
        ++fleet.totals.gpus;
        switch (entry.gpu.status) {
            case GpuStatus::passed:
                ++fleet.totals.passed;
                break;
            case GpuStatus::failed:
                ++fleet.totals.failed;
                break;
            case GpuStatus::error:
                ++fleet.totals.errors;
                break;
        }
        fleet.totals.outliers += entry.outlier ? 1 : 0;
        fleet.totals.mismatches += entry.gpu.mismatches.value_or(0);
    }
    fleet.totals.healthy = fleet.totals.failed == 0 && fleet.totals.errors == 0 && fleet.totals.outliers == 0;
    return fleet;
}
