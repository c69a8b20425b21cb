// Writing the fleet view as a table, as JSON and as a list of problems.
#include "fleet/fleetOutput.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "report/reportVocabulary.h"

namespace fleet {

namespace {

using OrderedJson = nlohmann::ordered_json;

// A figure with two decimals, or "-" when there is none.
std::string decimal(const std::optional<double>& value) {
    if (!value) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", *value);
    return text;
}

// A fraction as a percentage with one decimal and, with sign, an explicit + above zero; "0.0%" for what rounds
// to zero.
std::string percent(double fraction, bool sign) {
    if (std::fabs(fraction) < 0.0005) {
        return "0.0%";  // neither "-0.0%" nor "+0.0%"
    }
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.1f%%" : "%.1f%%", fraction * 100.0);
    return text;
}

// How far a figure lies from its peers' median, or "-" when it was not compared.
std::string fromMedian(const std::optional<PeerComparison>& comparison) {
    return comparison ? percent(-comparison->belowMedian, true) : "-";
}

// Columns of text, the numeric ones right-aligned, two spaces apart, without trailing spaces.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header, std::vector<bool> rightAligned)
        : rightAligned_(std::move(rightAligned)) {
        rows_.push_back(std::move(header));
    }

    void add(std::vector<std::string> row) {
        rows_.push_back(std::move(row));
    }

    std::string text() const {
        std::vector<std::size_t> widths(rightAligned_.size(), 0);
        for (const std::vector<std::string>& row : rows_) {
            for (std::size_t column = 0; column < row.size(); ++column) {
                widths[column] = std::max(widths[column], row[column].size());
            }
        }
        std::string text;
        for (const std::vector<std::string>& row : rows_) {
            std::string line;
            for (std::size_t column = 0; column < row.size(); ++column) {
                const std::string padding(widths[column] - row[column].size(), ' ');
                line += column == 0 ? "" : "  ";
                line += rightAligned_[column] ? padding + row[column] : row[column] + padding;
            }
            line.erase(line.find_last_not_of(' ') + 1);
            text += line + "\n";
        }
        return text;
    }

private:
    std::vector<bool> rightAligned_;
    std::vector<std::vector<std::string>> rows_;
};

// Every health problem of a GPU: its report's and the expectation's shortfalls kavrel-fleet found.
std::vector<std::string> healthProblems(const FleetGpu& entry) {
    std::vector<std::string> problems = entry.gpu.health.problems;
    for (const std::string& shortfall : entry.shortfalls) {
        problems.push_back("below expectation: " + shortfall);
    }
    return problems;
}

// The note of one GPU: its outlier figures, its error message and its health problems, comma-separated.
std::string gpuNote(const FleetGpu& entry) {
    std::vector<std::string> notes;
    if (entry.roundTrips && entry.roundTrips->outlier) {
        notes.emplace_back("slow");
    }
    if (entry.sgemm && entry.sgemm->outlier) {
        notes.emplace_back("slow SGEMM");
    }
    if (entry.gpu.status == GpuStatus::error) {
        const std::string error = errorText(entry.gpu.error);
        notes.push_back(error.empty() ? "error" : "error: " + error);
    }
    for (const std::string& problem : healthProblems(entry)) {
        notes.push_back("health: " + problem);
    }
    std::string note;
    for (const std::string& part : notes) {
        note += (note.empty() ? "" : ", ") + part;
    }
    return note;
}

// Whether SGEMM GFLOP/s are compared for any GPU: with --compare-sgemm, or for the resident workload.
bool sgemmCompared(const Fleet& fleet) {
    return fleet.settings.compareSgemm || std::any_of(fleet.models.begin(), fleet.models.end(),
                                                      [](const ModelSummary& model) { return model.resident; });
}

std::string gpuTable(const Fleet& fleet) {
    const bool sgemm = sgemmCompared(fleet);
    std::vector<std::string> header{"NODE",          "GPU",           "NAME",          "UUID",
                                    "STATUS",        "MISMATCHES",    "SGEMM GFLOP/s", "UPLOAD GB/s",
                                    "DOWNLOAD GB/s", "ROUND TRIPS/s", "VS MEDIAN"};
    std::vector<bool> right{false, true, false, false, false, true, true, true, true, true, true};
    if (sgemm) {
        header.emplace_back("SGEMM VS MEDIAN");
        right.push_back(true);
    }
    header.emplace_back("NOTE");
    right.push_back(false);
    TextTable table(header, right);
    for (const FleetGpu& entry : fleet.gpus) {
        const GpuRecord& gpu = entry.gpu;
        std::vector<std::string> row{
            printableText(entry.node),   std::to_string(gpu.index),
            printableText(gpuName(gpu)), printableText(gpu.uuid.value_or("-")),
            statusWord(gpu.status),      gpu.mismatches ? std::to_string(*gpu.mismatches) : "-",
            decimal(gpu.sgemmGflops),    decimal(gpu.uploadGbps),
            decimal(gpu.downloadGbps),   decimal(gpu.roundTripsPerSecond),
            fromMedian(entry.roundTrips)};
        if (sgemm) {
            row.push_back(fromMedian(entry.sgemm));
        }
        row.push_back(printableText(gpuNote(entry)));
        table.add(row);
    }
    return table.text();
}

// The centre, spread and outlier bound of one comparison, as table cells.
std::vector<std::string> centreCells(const std::optional<PeerComparison>& comparison) {
    if (!comparison) {
        return {"-", "-", "-"};
    }
    return {decimal(comparison->median), decimal(comparison->mad), decimal(comparison->median - comparison->allowance)};
}

std::string modelTable(const Fleet& fleet) {
    const bool sgemm = sgemmCompared(fleet);
    std::vector<std::string> header{"GPU NAME", "GPUS", "ROUND TRIPS/s MEDIAN", "MAD", "OUTLIER BELOW"};
    std::vector<bool> right{false, true, true, true, true};
    if (sgemm) {
        header.insert(header.end(), {"SGEMM GFLOP/s MEDIAN", "MAD", "OUTLIER BELOW"});
        right.insert(right.end(), {true, true, true});
    }
    TextTable table(header, right);
    for (const ModelSummary& model : fleet.models) {
        std::vector<std::string> row{printableText(model.label), std::to_string(model.gpus)};
        const std::vector<std::string> roundTrips = centreCells(model.roundTrips);
        row.insert(row.end(), roundTrips.begin(), roundTrips.end());
        if (sgemm) {
            const std::vector<std::string> cells = centreCells(model.sgemm);
            row.insert(row.end(), cells.begin(), cells.end());
        }
        table.add(row);
    }
    return table.text();
}

// A share as a whole percentage, or "-" when there is none.
std::string share(const std::optional<double>& value) {
    if (!value) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", *value * 100.0);
    return text;
}

// The worst readings of each node whose GPUs have readings.
std::string nodeHealthTable(const Fleet& fleet) {
    TextTable table(
        {"NODE", "MAX TEMP C", "LOWEST LINK", "HW THROTTLE", "SW THROTTLE", "NEW ECC", "XIDS", "HEALTH FAILED"},
        {false, true, true, true, true, true, true, true});
    bool any = false;
    for (const NodeHealth& node : fleet.nodeHealth) {
        if (node.gpusRead == 0) {
            continue;
        }
        any = true;
        char temperature[32] = "-";
        if (node.maxTemperatureCelsius) {
            std::snprintf(temperature, sizeof temperature, "%.0f", *node.maxTemperatureCelsius);
        }
        const std::string link = node.lowestLinkGeneration || node.lowestLinkWidth
                                     ? (node.lowestLinkGeneration ? std::to_string(*node.lowestLinkGeneration) : "?") +
                                           "x" + (node.lowestLinkWidth ? std::to_string(*node.lowestLinkWidth) : "?")
                                     : "-";
        table.add({printableText(node.node), temperature, link, share(node.hardwareThrottleShare),
                   share(node.softwareThrottleShare), std::to_string(node.newEccUncorrected), std::to_string(node.xids),
                   std::to_string(node.gpusFailed) + " of " + std::to_string(node.gpusRead)});
    }
    return any ? table.text() + "\n" : "";
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The comparison of one figure as JSON, or null.
OrderedJson comparisonJson(const std::optional<PeerComparison>& comparison) {
    if (!comparison) {
        return nullptr;
    }
    return OrderedJson{{"peers", comparison->peers},
                       {"median", comparison->median},
                       {"mad", comparison->mad},
                       {"outlier_below", comparison->median - comparison->allowance},
                       {"below_median", comparison->belowMedian},
                       {"outlier", comparison->outlier}};
}

// A group's centre as JSON (the comparison without the GPU's own position), or null.
OrderedJson centreJson(const std::optional<PeerComparison>& comparison) {
    if (!comparison) {
        return nullptr;
    }
    return OrderedJson{{"peers", comparison->peers},
                       {"median", comparison->median},
                       {"mad", comparison->mad},
                       {"outlier_below", comparison->median - comparison->allowance}};
}

template <typename Value>
OrderedJson optionalJson(const std::optional<Value>& value) {
    return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

// One problem line's subject: node, index and the UUID or, without one, the name.
std::string subject(const FleetGpu& entry) {
    return printableText(entry.node) + " GPU " + std::to_string(entry.gpu.index) + " " +
           printableText(entry.gpu.uuid.value_or(gpuName(entry.gpu))) + (entry.gpu.resident ? " (resident)" : "");
}

// A GPU's error as JSON: null unless it is in error.
OrderedJson errorJson(const GpuRecord& gpu) {
    if (gpu.status != GpuStatus::error) {
        return nullptr;
    }
    const GpuError& error = gpu.error;
    return OrderedJson{{"message", error.message},
                       {"call", error.call.empty() ? OrderedJson(nullptr) : OrderedJson(error.call)},
                       {"status_code", optionalJson(error.statusCode)},
                       {"status_name", error.statusName.empty() ? OrderedJson(nullptr) : OrderedJson(error.statusName)},
                       {"stalled_seconds", optionalJson(error.stalledSeconds)},
                       {"text", errorText(error)}};
}

// The detail of an outlier line: the figure, how far below the median and the group's size.
std::string slowDetail(double figure, const PeerComparison& comparison, const char* unit) {
    return decimal(figure) + " " + unit + ", " + percent(comparison.belowMedian, false) + " below the median " +
           decimal(comparison.median) + " of " + std::to_string(comparison.peers) + " GPUs";
}

}  // namespace

std::string printableText(const std::string& text) {
    std::string shown;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += character;
        } else if (character == '\n') {
            shown += "\\n";
        } else if (character == '\r') {
            shown += "\\r";
        } else if (character == '\t') {
            shown += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        }
    }
    return shown;
}

std::string fleetTable(const Fleet& fleet) {
    const FleetTotals& totals = fleet.totals;
    std::string text = gpuTable(fleet) + "\n" + modelTable(fleet) + "\n" + nodeHealthTable(fleet);
    if (!fleet.nodeProblems.empty()) {
        TextTable problems({"NODE", "PROBLEM"}, {false, false});
        for (const NodeProblem& problem : fleet.nodeProblems) {
            problems.add({printableText(problem.node), printableText(problem.what)});
        }
        text += problems.text() + "\n";
    }
    for (const std::string& warning : fleet.warnings) {
        text += "Warning: " + printableText(warning) + "\n";
    }
    if (!fleet.warnings.empty()) {
        text += "\n";
    }
    text +=
        plural(totals.nodes, "node", "nodes") + ", " + plural(totals.gpus, "GPU", "GPUs") + ": " +
        std::to_string(totals.passed) + " passed, " + std::to_string(totals.failed) + " failed, " +
        plural(totals.errors, "error", "errors") + ", " + plural(totals.outliers, "outlier", "outliers") + " (margin " +
        percent(fleet.settings.outlierMargin, false) + ")" +
        (totals.healthFailures > 0 ? ", " + plural(totals.healthFailures, "health failure", "health failures") : "") +
        (totals.nodeProblems > 0 ? ", " + plural(totals.nodeProblems, "node problem", "node problems") : "") + "\n";
    text += std::string("Verdict  ") + (totals.healthy ? "PASSED" : "FAILED") + "\n";
    return text;
}

std::string fleetJson(const Fleet& fleet) {
    OrderedJson gpus = OrderedJson::array();
    for (const FleetGpu& entry : fleet.gpus) {
        const GpuRecord& gpu = entry.gpu;
        gpus.push_back(
            OrderedJson{{"node", entry.node},
                        {"source", entry.source},
                        {"index", gpu.index},
                        {"name", optionalJson(gpu.name)},
                        {"uuid", optionalJson(gpu.uuid)},
                        {"status", statusWord(gpu.status)},
                        {"error", errorJson(gpu)},
                        {"mismatches", optionalJson(gpu.mismatches)},
                        {"sgemm_gflop_per_second", optionalJson(gpu.sgemmGflops)},
                        {"upload_gb_per_second", optionalJson(gpu.uploadGbps)},
                        {"download_gb_per_second", optionalJson(gpu.downloadGbps)},
                        {"round_trips_per_second", optionalJson(gpu.roundTripsPerSecond)},
                        {"workload", gpu.resident ? report::kWorkloadResident : report::kWorkloadRoundTrip},
                        {"matrix_order", optionalJson(gpu.matrixOrder)},
                        {"comparisons",
                         {{"round_trips_per_second", comparisonJson(entry.roundTrips)},
                          {"sgemm_gflop_per_second", comparisonJson(entry.sgemm)}}},
                        {"outlier", entry.outlier},
                        {"health",
                         {{"read", gpu.health.read},
                          {"passed", !entry.healthFailed},
                          {"problems", healthProblems(entry)},
                          {"max_temperature_celsius", optionalJson(gpu.health.maxTemperatureCelsius)},
                          {"pcie_link_generation_under_load", optionalJson(gpu.health.linkGenerationUnderLoad)},
                          {"pcie_link_width_under_load", optionalJson(gpu.health.linkWidthUnderLoad)},
                          {"hw_throttle_share", optionalJson(gpu.health.hardwareThrottleShare)},
                          {"sw_throttle_share", optionalJson(gpu.health.softwareThrottleShare)},
                          {"new_ecc_uncorrected", optionalJson(gpu.health.newEccUncorrected)},
                          {"xids", gpu.health.xids}}}});
    }
    OrderedJson nodes = OrderedJson::array();
    for (const NodeHealth& node : fleet.nodeHealth) {
        nodes.push_back(OrderedJson{{"node", node.node},
                                    {"gpus_read", node.gpusRead},
                                    {"gpus_failed_health", node.gpusFailed},
                                    {"max_temperature_celsius", optionalJson(node.maxTemperatureCelsius)},
                                    {"lowest_pcie_link_generation", optionalJson(node.lowestLinkGeneration)},
                                    {"lowest_pcie_link_width", optionalJson(node.lowestLinkWidth)},
                                    {"hw_throttle_share", optionalJson(node.hardwareThrottleShare)},
                                    {"sw_throttle_share", optionalJson(node.softwareThrottleShare)},
                                    {"new_ecc_uncorrected", node.newEccUncorrected},
                                    {"xids", node.xids}});
    }
    OrderedJson models = OrderedJson::array();
    for (const ModelSummary& model : fleet.models) {
        models.push_back(
            OrderedJson{{"name", model.name},
                        {"workload", model.resident ? report::kWorkloadResident : report::kWorkloadRoundTrip},
                        {"matrix_order", optionalJson(model.matrixOrder)},
                        {"judged_by", model.resident ? "sgemm_gflop_per_second" : "round_trips_per_second"},
                        {"gpus", model.gpus},
                        {"round_trips_per_second", centreJson(model.roundTrips)},
                        {"sgemm_gflop_per_second", centreJson(model.sgemm)}});
    }
    OrderedJson nodeProblems = OrderedJson::array();
    for (const NodeProblem& problem : fleet.nodeProblems) {
        nodeProblems.push_back(OrderedJson{{"node", problem.node}, {"problem", problem.what}});
    }
    const FleetTotals& totals = fleet.totals;
    const OrderedJson document = {
        {"schema", kFleetReportSchema},
        {"program", "kavrel-fleet"},
        {"program_version", KAVREL_FLEET_VERSION},
        {"outlier_rule",
         {{"margin", fleet.settings.outlierMargin},
          {"mad_factor", report::kOutlierMadFactor},
          {"mad_scale", report::kMadToStandardDeviation},
          {"minimum_peers", report::kMinimumPeers},
          {"figures", sgemmCompared(fleet) ? OrderedJson{"round_trips_per_second", "sgemm_gflop_per_second"}
                                           : OrderedJson{"round_trips_per_second"}}}},
        {"gpus", gpus},
        {"models", models},
        {"node_problems", nodeProblems},
        {"node_health", nodes},
        {"warnings", fleet.warnings},
        {"totals",
         {{"nodes", totals.nodes},
          {"gpus", totals.gpus},
          {"passed", totals.passed},
          {"failed", totals.failed},
          {"errors", totals.errors},
          {"outliers", totals.outliers},
          {"node_problems", totals.nodeProblems},
          {"health_failures", totals.healthFailures},
          {"mismatches", totals.mismatches},
          {"verdict", totals.healthy ? "PASSED" : "FAILED"}}}};
    // Bytes of a name or message that are not UTF-8 are replaced rather than made an error.
    return document.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

std::string fleetProblems(const Fleet& fleet) {
    std::string text;
    for (const FleetGpu& entry : fleet.gpus) {
        const GpuRecord& gpu = entry.gpu;
        // A GPU failed by its health alone is named by its health problems below.
        if (gpu.status == GpuStatus::failed && (!gpu.productsRight || gpu.health.problems.empty())) {
            text += subject(entry) + " failed\n";
        } else if (gpu.status == GpuStatus::error) {
            const std::string error = printableText(errorText(gpu.error));
            text += subject(entry) + (error.empty() ? " error" : " error: " + error) + "\n";
        }
        if (entry.roundTrips && entry.roundTrips->outlier) {
            text += subject(entry) +
                    " slow: " + slowDetail(*gpu.roundTripsPerSecond, *entry.roundTrips, "round trips/s") + "\n";
        }
        if (entry.sgemm && entry.sgemm->outlier) {
            text += subject(entry) + " slow SGEMM: " + slowDetail(*gpu.sgemmGflops, *entry.sgemm, "GFLOP/s") + "\n";
        }
        for (const std::string& problem : healthProblems(entry)) {
            text += subject(entry) + " " + printableText(problem) + "\n";
        }
    }
    for (const NodeProblem& problem : fleet.nodeProblems) {
        text += printableText(problem.node) + " " + printableText(problem.what) + "\n";
    }
    return text;
}

}  // namespace fleet
