// Reading one kavrel-bench JSON report into the node and GPU records kavrel-fleet works with, checking that its fields
// agree with each other.
#include "fleet/fleetReport.h"

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "report/reportVocabulary.h"

namespace fleet {

namespace {

using Json = nlohmann::json;
namespace key = report::key;

// The message of an error entry on one line: a "!!!! " marker, surrounding white space and line breaks removed
// (inner breaks become "; "), as messages written by hand or by older tools may carry them.
std::string oneLineMessage(const std::string& message) {
    std::string line;
    for (const char character : message) {
        if (character == '\n' || character == '\r') {
            if (!line.empty() && line.back() != ' ') {
                line += "; ";
            }
        } else if (character == '\t') {
            line += ' ';
        } else {
            line += character;
        }
    }
    const std::size_t start = line.find_first_not_of("! ");
    if (start == std::string::npos) {
        return "";
    }
    const std::size_t end = line.find_last_not_of("; ");
    return line.substr(start, end - start + 1);
}

// Reads an optional rate at object[outerKey][field]: empty when either level is absent or null. Sets problem when
// something is there but is not a number.
std::optional<double> optionalRate(const Json& object, const char* outerKey, const char* field, const std::string& path,
                                   std::string* problem) {
    const auto outer = object.find(outerKey);
    if (outer == object.end() || outer->is_null()) {
        return std::nullopt;
    }
    if (!outer->is_object()) {
        *problem = path + "." + outerKey + " is not an object";
        return std::nullopt;
    }
    const auto inner = outer->find(field);
    if (inner == outer->end() || inner->is_null()) {
        return std::nullopt;
    }
    if (!inner->is_number()) {
        *problem = path + "." + outerKey + "." + field + " is not a number";
        return std::nullopt;
    }
    return inner->get<double>();
}

// A string or null at object[name]: sets value (empty for null) and returns true; false when it is absent or
// anything else.
bool stringOrNull(const Json& object, const char* name, std::optional<std::string>* value) {
    const auto found = object.find(name);
    if (found == object.end() || !(found->is_string() || found->is_null())) {
        return false;
    }
    *value = found->is_string() ? std::optional<std::string>(found->get<std::string>()) : std::nullopt;
    return true;
}

// Reads an error entry's error object into error; returns an empty string or the problem.
std::string parseError(const Json& entry, const std::string& path, GpuError* error) {
    const auto found = entry.find(key::kError);
    if (found == entry.end() || !found->is_object()) {
        return path + ".error is missing or not an object";
    }
    std::optional<std::string> message;
    std::optional<std::string> call;
    std::optional<std::string> statusName;
    if (!stringOrNull(*found, key::kMessage, &message)) {
        return path + ".error.message is missing or neither a string nor null";
    }
    // The cause is optional: a report written by hand may give the message alone.
    if (found->contains(key::kCall) && !stringOrNull(*found, key::kCall, &call)) {
        return path + ".error.call is neither a string nor null";
    }
    if (found->contains(key::kStatusName) && !stringOrNull(*found, key::kStatusName, &statusName)) {
        return path + ".error.status_name is neither a string nor null";
    }
    const auto code = found->find(key::kStatusCode);
    if (code != found->end() && !code->is_null()) {
        if (!code->is_number_integer()) {
            return path + ".error.status_code is neither a whole number nor null";
        }
        error->statusCode = code->get<long long>();
    }
    const auto stalled = found->find("stalled_seconds");
    if (stalled != found->end() && !stalled->is_null()) {
        if (!stalled->is_number()) {
            return path + ".error.stalled_seconds is neither a number nor null";
        }
        error->stalledSeconds = stalled->get<double>();
    }
    error->message = oneLineMessage(message.value_or(""));
    error->call = oneLineMessage(call.value_or(""));
    error->statusName = oneLineMessage(statusName.value_or(""));
    return "";
}

// A number at object[path...] (each key in turn), or empty when any level is missing or not what it must be.
std::optional<double> numberAt(const Json& object, std::initializer_list<const char*> path) {
    const Json* level = &object;
    for (const char* step : path) {
        if (!level->is_object()) {
            return std::nullopt;
        }
        const auto found = level->find(step);
        if (found == level->end()) {
            return std::nullopt;
        }
        level = &*found;
    }
    return level->is_number() ? std::optional<double>(level->get<double>()) : std::nullopt;
}

// Reads a completed entry's health object, when there is one, into health; returns an empty string or the problem.
std::string parseHealth(const Json& entry, const std::string& path, GpuHealth* health) {
    const auto found = entry.find(key::kHealth);
    if (found == entry.end() || found->is_null()) {
        return "";
    }
    if (!found->is_object()) {
        return path + ".health is not an object";
    }
    const Json& object = *found;
    const auto passed = object.find(key::kPassed);
    if (passed == object.end() || !passed->is_boolean()) {
        return path + ".health.passed is missing or not true or false";
    }
    health->read = object.value("available", false);
    health->passed = passed->get<bool>();
    const auto verdicts = object.find("verdicts");
    if (verdicts != object.end() && verdicts->is_array()) {
        for (const Json& verdict : *verdicts) {
            if (verdict.is_object() && !verdict.value(key::kPassed, true) && verdict.contains("detail") &&
                verdict["detail"].is_string()) {
                health->problems.push_back(oneLineMessage(verdict["detail"].get<std::string>()));
            }
        }
    }
    const auto expectation = object.find("expectation");
    if (expectation != object.end() && expectation->is_array()) {
        for (const Json& shortfall : *expectation) {
            if (shortfall.is_string()) {
                health->problems.push_back("below expectation: " + oneLineMessage(shortfall.get<std::string>()));
            }
        }
    }
    if (!health->passed && health->problems.empty()) {
        health->problems.emplace_back("health failed");
    }
    const auto asInt = [](const std::optional<double>& value) {
        return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
    };
    health->maxTemperatureCelsius = numberAt(object, {"samples", "temperature_celsius", "max"});
    health->linkGenerationUnderLoad = asInt(numberAt(object, {"samples", "pcie_link_under_load", "min_generation"}));
    health->linkWidthUnderLoad = asInt(numberAt(object, {"samples", "pcie_link_under_load", "min_width"}));
    health->maxLinkGeneration = asInt(numberAt(object, {"before", "pcie_max_link_generation"}));
    health->maxLinkWidth = asInt(numberAt(object, {"before", "pcie_max_link_width"}));
    for (const auto& [reason, hardware] : {std::pair<const char*, bool>{"hw_slowdown", true},
                                           {"hw_thermal", true},
                                           {"hw_power_brake", true},
                                           {"sw_power_cap", false},
                                           {"sw_thermal", false}}) {
        const std::optional<double> share = numberAt(object, {"samples", "clocks_event_reasons", reason, "share"});
        std::optional<double>& worst = hardware ? health->hardwareThrottleShare : health->softwareThrottleShare;
        if (share && (!worst || *share > *worst)) {
            worst = share;
        }
    }
    const std::optional<double> eccBefore = numberAt(object, {"before", "ecc_uncorrected_volatile"});
    const std::optional<double> eccAfter = numberAt(object, {"after", "ecc_uncorrected_volatile"});
    if (eccBefore && eccAfter) {
        health->newEccUncorrected = static_cast<long long>(*eccAfter > *eccBefore ? *eccAfter - *eccBefore : 0);
    }
    health->xids = static_cast<long long>(numberAt(object, {"xid_count"}).value_or(0.0));
    return "";
}

// Reads a completed entry's figures and check into gpu, and checks that its status agrees with its check; returns
// an empty string or the problem.
std::string parseFigures(const Json& entry, const std::string& path, GpuRecord* gpu) {
    const auto rate = entry.find(key::kRoundTripsPerSecond);
    if (gpu->resident) {
        if (rate != entry.end() && !rate->is_null()) {
            return "inconsistent: " + path + " has round_trips_per_second in a report of the resident workload";
        }
    } else if (rate == entry.end() || !rate->is_number()) {
        return path + ".round_trips_per_second is missing or not a number";
    } else {
        gpu->roundTripsPerSecond = rate->get<double>();
    }
    const auto check = entry.find(key::kCheck);
    if (check == entry.end() || !check->is_object()) {
        return path + ".check is missing or not an object";
    }
    const auto mismatches = check->find(key::kMismatchCount);
    if (mismatches == check->end() || !mismatches->is_number_integer() || mismatches->get<long long>() < 0) {
        return path + ".check.mismatch_count is missing or not a count";
    }
    gpu->mismatches = mismatches->get<long long>();
    const auto passed = check->find(key::kPassed);
    const auto verdict = check->find(key::kVerdict);
    if (passed != check->end() && !passed->is_boolean()) {
        return path + ".check.passed is not true or false";
    }
    gpu->productsRight = passed != check->end() ? passed->get<bool>() : *gpu->mismatches == 0;
    if (passed != check->end() && verdict != check->end() &&
        *verdict != (passed->get<bool>() ? report::kVerdictPassed : report::kVerdictFailed)) {
        return "inconsistent: " + path + ".check.passed is " + (passed->get<bool>() ? "true" : "false") +
               " but its verdict is " + verdict->dump();
    }
    if (gpu->status == GpuStatus::passed) {
        if (*gpu->mismatches > 0) {
            return "inconsistent: " + path + " is passed with " + std::to_string(*gpu->mismatches) + " wrong products";
        }
        if (passed != check->end() && !passed->get<bool>()) {
            return "inconsistent: " + path + " is passed but its check.passed is false";
        }
    }

    const auto timing = entry.find(key::kTiming);
    if (timing == entry.end() || timing->is_null()) {
        return gpu->resident ? path + ".timing.sgemm.gflop_per_second is missing in a report of the resident workload"
                             : "";
    }
    if (!timing->is_object()) {
        return path + ".timing is not an object";
    }
    std::string problem;
    gpu->sgemmGflops = optionalRate(*timing, key::kSgemm, key::kGflopPerSecond, path + ".timing", &problem);
    gpu->uploadGbps = optionalRate(*timing, key::kUpload, key::kGbPerSecond, path + ".timing", &problem);
    gpu->downloadGbps = optionalRate(*timing, key::kDownload, key::kGbPerSecond, path + ".timing", &problem);
    if (problem.empty() && gpu->resident && !gpu->sgemmGflops) {
        problem = path + ".timing.sgemm.gflop_per_second is missing in a report of the resident workload";
    }
    return problem;
}

// Reads a completed entry's figures, check and health into gpu; returns an empty string or the problem.
std::string parseCompleted(const Json& entry, const std::string& path, GpuRecord* gpu) {
    std::string problem = parseFigures(entry, path, gpu);
    if (problem.empty()) {
        problem = parseHealth(entry, path, &gpu->health);
    }
    if (problem.empty() && gpu->status == GpuStatus::passed && !gpu->health.passed) {
        problem = "inconsistent: " + path + " is passed but its health.passed is false";
    }
    return problem;
}

// Reads devices[position] into gpu; returns an empty string or the problem.
std::string parseGpu(const Json& entry, std::size_t position, GpuRecord* gpu) {
    const std::string path = "devices[" + std::to_string(position) + "]";
    if (!entry.is_object()) {
        return path + " is not an object";
    }
    const auto index = entry.find(key::kIndex);
    if (index == entry.end() || !index->is_number_integer() || index->get<long long>() < 0 ||
        index->get<long long>() > 1000000) {
        return path + ".index is missing or not a device index";
    }
    gpu->index = index->get<int>();
    if (!stringOrNull(entry, key::kName, &gpu->name)) {
        return path + ".name is missing or neither a string nor null";
    }
    if (!stringOrNull(entry, key::kUuid, &gpu->uuid)) {
        return path + ".uuid is missing or neither a string nor null";
    }
    const auto status = entry.find(key::kStatus);
    if (status == entry.end() || !status->is_string()) {
        return path + ".status is missing or not a string";
    }
    const std::string word = status->get<std::string>();
    if (word == report::kStatusError) {
        gpu->status = GpuStatus::error;
        return parseError(entry, path, &gpu->error);
    }
    if (word != report::kStatusPassed && word != report::kStatusFailed) {
        return path + ".status is \"" + word + "\", not passed, failed or error";
    }
    gpu->status = word == report::kStatusPassed ? GpuStatus::passed : GpuStatus::failed;
    return parseCompleted(entry, path, gpu);
}

// Reads the node object, when there is one: the expected and visible device counts, and whether its verdict agrees
// with its devices'. Returns an empty string or the problem.
std::string parseNode(const Json& document, NodeReport* report) {
    const auto node = document.find(key::kNode);
    if (node == document.end() || node->is_null()) {
        return "";
    }
    if (!node->is_object()) {
        return "node is not an object";
    }
    for (const auto& [field, target] :
         {std::pair<const char*, std::optional<int>*>{"expected_devices", &report->expectedDevices},
          {"visible_devices", &report->visibleDevices}}) {
        const auto count = node->find(field);
        if (count != node->end() && !count->is_null()) {
            if (!count->is_number_integer() || count->get<long long>() < 0 || count->get<long long>() > 1000000) {
                return std::string("node.") + field + " is not a device count";
            }
            *target = count->get<int>();
        }
    }
    const auto missing = node->find("missing_devices");
    if (missing != node->end() && !missing->is_null()) {
        if (!missing->is_boolean()) {
            return "node.missing_devices is not true or false";
        }
        report->missingDevices = missing->get<bool>();
    }
    const auto verdict = node->find(key::kVerdict);
    if (verdict != node->end() && *verdict == report::kVerdictPassed) {
        for (const GpuRecord& gpu : report->gpus) {
            if (gpu.status != GpuStatus::passed) {
                return "inconsistent: node.verdict is PASSED but device " + std::to_string(gpu.index) + " is " +
                       statusWord(gpu.status);
            }
        }
        if (report->missingDevices) {
            return "inconsistent: node.verdict is PASSED but devices are missing";
        }
    }
    return "";
}

// Reads the run's interruption, when there is one; returns an empty string or the problem.
std::string parseInterruption(const Json& document, NodeReport* report) {
    const auto interrupted = document.find("interrupted");
    if (interrupted == document.end() || interrupted->is_null()) {
        return "";
    }
    const auto signal = interrupted->is_object() ? interrupted->find("signal") : interrupted->end();
    if (!interrupted->is_object() || signal == interrupted->end() || !signal->is_string() ||
        signal->get<std::string>().empty()) {
        return "interrupted is neither null nor an object naming its signal";
    }
    report->interruptedBy = oneLineMessage(signal->get<std::string>());
    return "";
}

// Reads the whole document into report; returns an empty string or the problem.
std::string parseDocument(const Json& document, NodeReport* report) {
    if (!document.is_object()) {
        return "not a JSON object";
    }
    const auto schema = document.find(key::kSchema);
    if (schema == document.end() || !schema->is_number_integer()) {
        return "no schema version (is this a kavrel-bench report?)";
    }
    if (schema->get<long long>() != report::kSchema) {
        return "schema " + std::to_string(schema->get<long long>()) + ", but kavrel-fleet reads schema " +
               std::to_string(report::kSchema);
    }
    const auto program = document.find(key::kProgram);
    if (program == document.end() || *program != report::kBenchProgram) {
        return "program is not \"kavrel-bench\"";
    }
    const auto host = document.find(key::kHost);
    if (host == document.end() || !host->is_object() || !host->contains(key::kName) ||
        !(*host)[key::kName].is_string() || (*host)[key::kName].get<std::string>().empty()) {
        return "host.name is missing or not a non-empty string";
    }
    report->node = (*host)[key::kName].get<std::string>();
    bool resident = false;
    const auto workload = document.find(key::kWorkload);
    if (workload != document.end() && !workload->is_null()) {
        if (*workload != report::kWorkloadRoundTrip && *workload != report::kWorkloadResident) {
            return "workload is not \"round-trip\" or \"resident\"";
        }
        resident = *workload == report::kWorkloadResident;
    }
    report->resident = resident;
    std::optional<int> order;
    const auto matrixOrder = document.find(key::kMatrixOrder);
    if (matrixOrder != document.end() && !matrixOrder->is_null()) {
        if (!matrixOrder->is_number_integer() || matrixOrder->get<long long>() < 1 ||
            matrixOrder->get<long long>() > 1000000) {
            return "matrix_order is not a matrix order";
        }
        order = matrixOrder->get<int>();
    }
    const auto devices = document.find(key::kDevices);
    if (devices == document.end() || !devices->is_array() || devices->empty()) {
        return "devices is missing or not a non-empty array";
    }
    std::set<int> indices;
    for (std::size_t position = 0; position < devices->size(); ++position) {
        GpuRecord gpu;
        gpu.resident = resident;
        gpu.matrixOrder = order;
        std::string problem = parseGpu((*devices)[position], position, &gpu);
        if (!problem.empty()) {
            return problem;
        }
        if (!indices.insert(gpu.index).second) {
            return "device index " + std::to_string(gpu.index) + " appears twice";
        }
        report->gpus.push_back(gpu);
    }
    std::string problem = parseNode(document, report);
    if (problem.empty()) {
        problem = parseInterruption(document, report);
    }
    return problem;
}

}  // namespace

ReportParse parseNodeReport(const std::string& text, const std::string& source) {
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        return ReportParse{std::nullopt, text.empty() ? "empty, not a JSON document" : "not a JSON document"};
    }
    NodeReport report;
    report.source = source;
    const std::string problem = parseDocument(document, &report);
    if (!problem.empty()) {
        return ReportParse{std::nullopt, problem};
    }
    return ReportParse{report, ""};
}

const char* statusWord(GpuStatus status) {
    switch (status) {
        case GpuStatus::passed:
            return report::kStatusPassed;
        case GpuStatus::failed:
            return report::kStatusFailed;
        case GpuStatus::error:
            break;
    }
    return report::kStatusError;
}

std::string errorText(const GpuError& error) {
    std::string text = error.message;
    if (!error.call.empty() && !error.stalledSeconds && !error.statusName.empty()) {
        text += (text.empty() ? "" : " ") + std::string("(") + error.call + ": " + error.statusName + ")";
    }
    return text;
}

std::string gpuName(const GpuRecord& gpu) {
    return gpu.name.value_or("(unknown)");
}

}  // namespace fleet
