// Reading one kavrel-bench JSON report into the node and GPU records kavrel-fleet works with.
#include "fleet/fleetReport.h"

#include <nlohmann/json.hpp>
#include <set>

namespace {

using Json = nlohmann::json;

// The message of an error entry on one line: kavrel-bench's "!!!! " marker, surrounding white space and line
// breaks removed (inner breaks become "; ").
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

// Reads an optional rate at object[key][field]: empty when either level is absent or null. Sets problem when
// something is there but is not a number.
std::optional<double> optionalRate(const Json& object, const char* key, const char* field, const std::string& path,
                                   std::string* problem) {
    const auto outer = object.find(key);
    if (outer == object.end() || outer->is_null()) {
        return std::nullopt;
    }
    if (!outer->is_object()) {
        *problem = path + "." + key + " is not an object";
        return std::nullopt;
    }
    const auto inner = outer->find(field);
    if (inner == outer->end() || inner->is_null()) {
        return std::nullopt;
    }
    if (!inner->is_number()) {
        *problem = path + "." + key + "." + field + " is not a number";
        return std::nullopt;
    }
    return inner->get<double>();
}

// Reads devices[position] into gpu; returns an empty string or the problem.
std::string parseGpu(const Json& entry, std::size_t position, GpuRecord* gpu) {
    const std::string path = "devices[" + std::to_string(position) + "]";
    if (!entry.is_object()) {
        return path + " is not an object";
    }
    const auto index = entry.find("index");
    if (index == entry.end() || !index->is_number_integer() || index->get<long long>() < 0 ||
        index->get<long long>() > 1000000) {
        return path + ".index is missing or not a device index";
    }
    gpu->index = index->get<int>();
    const auto name = entry.find("name");
    if (name == entry.end() || !name->is_string()) {
        return path + ".name is missing or not a string";
    }
    gpu->name = name->get<std::string>();
    const auto uuid = entry.find("uuid");
    if (uuid == entry.end() || !(uuid->is_string() || uuid->is_null())) {
        return path + ".uuid is missing or neither a string nor null";
    }
    if (uuid->is_string()) {
        gpu->uuid = uuid->get<std::string>();
    }
    const auto status = entry.find("status");
    if (status == entry.end() || !status->is_string()) {
        return path + ".status is missing or not a string";
    }
    const std::string word = status->get<std::string>();
    if (word == "error") {
        gpu->status = GpuStatus::error;
        const auto error = entry.find("error");
        if (error == entry.end() || !(error->is_string() || error->is_null())) {
            return path + ".error is missing or neither a string nor null";
        }
        gpu->error = error->is_string() ? oneLineMessage(error->get<std::string>()) : "";
        return "";
    }
    if (word != "passed" && word != "failed") {
        return path + ".status is \"" + word + "\", not passed, failed or error";
    }
    gpu->status = word == "passed" ? GpuStatus::passed : GpuStatus::failed;

    const auto rate = entry.find("round_trips_per_second");
    if (rate == entry.end() || !rate->is_number()) {
        return path + ".round_trips_per_second is missing or not a number";
    }
    gpu->roundTripsPerSecond = rate->get<double>();
    const auto check = entry.find("check");
    if (check == entry.end() || !check->is_object()) {
        return path + ".check is missing or not an object";
    }
    const auto mismatches = check->find("mismatch_count");
    if (mismatches == check->end() || !mismatches->is_number_integer() || mismatches->get<long long>() < 0) {
        return path + ".check.mismatch_count is missing or not a count";
    }
    gpu->mismatches = mismatches->get<long long>();

    const auto timing = entry.find("timing");
    if (timing == entry.end() || timing->is_null()) {
        return "";
    }
    if (!timing->is_object()) {
        return path + ".timing is not an object";
    }
    std::string problem;
    gpu->sgemmGflops = optionalRate(*timing, "sgemm", "gflop_per_second", path + ".timing", &problem);
    gpu->uploadGbps = optionalRate(*timing, "upload", "gb_per_second", path + ".timing", &problem);
    gpu->downloadGbps = optionalRate(*timing, "download", "gb_per_second", path + ".timing", &problem);
    return problem;
}

// Reads the whole document into report; returns an empty string or the problem.
std::string parseDocument(const Json& document, NodeReport* report) {
    if (!document.is_object()) {
        return "not a JSON object";
    }
    const auto schema = document.find("schema");
    if (schema == document.end() || !schema->is_number_integer()) {
        return "no schema version (is this a kavrel-bench report?)";
    }
    if (schema->get<long long>() != kBenchReportSchema) {
        return "schema " + std::to_string(schema->get<long long>()) + ", but kavrel-fleet reads schema " +
               std::to_string(kBenchReportSchema);
    }
    const auto program = document.find("program");
    if (program == document.end() || *program != "kavrel-bench") {
        return "program is not \"kavrel-bench\"";
    }
    const auto host = document.find("host");
    if (host == document.end() || !host->is_object() || !host->contains("name") || !(*host)["name"].is_string() ||
        (*host)["name"].get<std::string>().empty()) {
        return "host.name is missing or not a non-empty string";
    }
    report->node = (*host)["name"].get<std::string>();
    const auto devices = document.find("devices");
    if (devices == document.end() || !devices->is_array() || devices->empty()) {
        return "devices is missing or not a non-empty array";
    }
    std::set<int> indices;
    for (std::size_t position = 0; position < devices->size(); ++position) {
        GpuRecord gpu;
        std::string problem = parseGpu((*devices)[position], position, &gpu);
        if (!problem.empty()) {
            return problem;
        }
        if (!indices.insert(gpu.index).second) {
            return "device index " + std::to_string(gpu.index) + " appears twice";
        }
        report->gpus.push_back(gpu);
    }
    return "";
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
            return "passed";
        case GpuStatus::failed:
            return "failed";
        case GpuStatus::error:
            break;
    }
    return "error";
}
