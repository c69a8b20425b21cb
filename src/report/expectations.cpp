// Reading the expectation file with nlohmann-json, and judging a GPU's figures against its model's expectation.
#include "report/expectations.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace report {

namespace {

using Json = nlohmann::json;

// A positive number at object[key] into value, when present; false (with problem set) when it is anything else.
bool positiveNumber(const Json& object, const char* key, const std::string& where, std::optional<double>* value,
                    std::string* problem) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return true;
    }
    if (!found->is_number() || !(found->get<double>() > 0.0)) {
        *problem = where + "." + key + " is not a positive number";
        return false;
    }
    *value = found->get<double>();
    return true;
}

// A positive whole number at object[key] into value, when present.
bool positiveCount(const Json& object, const char* key, const std::string& where, std::optional<int>* value,
                   std::string* problem) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return true;
    }
    if (!found->is_number_integer() || found->get<long long>() < 1 || found->get<long long>() > 1000) {
        *problem = where + "." + key + " is not a positive whole number";
        return false;
    }
    *value = found->get<int>();
    return true;
}

// "3.10" for a figure.
std::string decimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// parseExpectations, leaving the expectations read before a problem in the file.
ExpectationFile parseUpToProblem(const std::string& text) {
    ExpectationFile file;
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        file.problem = "not a JSON object";
        return file;
    }
    const auto list = document.find("expectations");
    if (list == document.end() || !list->is_array()) {
        file.problem = "expectations is missing or not an array";
        return file;
    }
    const std::set<std::string> known{"name",
                                      "min_upload_gb_per_second",
                                      "min_download_gb_per_second",
                                      "min_sgemm_gflop_per_second",
                                      "pcie_link_generation",
                                      "pcie_link_width",
                                      "max_temperature_celsius"};
    std::set<std::string> names;
    for (std::size_t position = 0; position < list->size(); ++position) {
        const Json& entry = (*list)[position];
        const std::string where = "expectations[" + std::to_string(position) + "]";
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string() ||
            entry["name"].get<std::string>().empty()) {
            file.problem = where + " is not an object with a name";
            return file;
        }
        for (const auto& item : entry.items()) {
            if (known.count(item.key()) == 0) {
                file.problem = where + " has an unknown key \"" + item.key() + "\"";
                return file;
            }
        }
        Expectation expectation;
        expectation.name = entry["name"].get<std::string>();
        if (!names.insert(expectation.name).second) {
            file.problem = where + ": \"" + expectation.name + "\" is expected twice";
            return file;
        }
        if (!positiveNumber(entry, "min_upload_gb_per_second", where, &expectation.minUploadGbPerSecond,
                            &file.problem) ||
            !positiveNumber(entry, "min_download_gb_per_second", where, &expectation.minDownloadGbPerSecond,
                            &file.problem) ||
            !positiveNumber(entry, "min_sgemm_gflop_per_second", where, &expectation.minSgemmGflopPerSecond,
                            &file.problem) ||
            !positiveCount(entry, "pcie_link_generation", where, &expectation.pcieLinkGeneration, &file.problem) ||
            !positiveCount(entry, "pcie_link_width", where, &expectation.pcieLinkWidth, &file.problem) ||
            !positiveNumber(entry, "max_temperature_celsius", where, &expectation.maxTemperatureCelsius,
                            &file.problem)) {
            return file;
        }
        file.expectations.push_back(expectation);
    }
    return file;
}

}  // namespace

ExpectationFile parseExpectations(const std::string& text) {
    ExpectationFile file = parseUpToProblem(text);
    if (!file.problem.empty()) {
        file.expectations.clear();  // a file half used would judge some models and quietly pass the others
    }
    return file;
}

ExpectationFile readExpectations(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    if (!stream) {
        ExpectationFile file;
        file.problem = "cannot be read";
        return file;
    }
    return parseExpectations(text.str());
}

const Expectation* expectationFor(const std::vector<Expectation>& expectations, const std::string& name) {
    for (const Expectation& expectation : expectations) {
        if (expectation.name == name) {
            return &expectation;
        }
    }
    return nullptr;
}

std::vector<std::string> shortfalls(const Expectation& expectation, const ExpectedFigures& figures) {
    std::vector<std::string> found;
    const auto atLeast = [&](const char* what, const std::optional<double>& figure,
                             const std::optional<double>& minimum, const char* unit) {
        if (figure && minimum && *figure < *minimum) {
            found.push_back(std::string(what) + " " + decimal(*figure) + " " + unit + " below the expected " +
                            decimal(*minimum));
        }
    };
    atLeast("upload", figures.uploadGbPerSecond, expectation.minUploadGbPerSecond, "GB/s");
    atLeast("download", figures.downloadGbPerSecond, expectation.minDownloadGbPerSecond, "GB/s");
    atLeast("SGEMM", figures.sgemmGflopPerSecond, expectation.minSgemmGflopPerSecond, "GFLOP/s");
    const bool generationShort = expectation.pcieLinkGeneration && figures.pcieLinkGeneration &&
                                 *figures.pcieLinkGeneration < *expectation.pcieLinkGeneration;
    const bool widthShort =
        expectation.pcieLinkWidth && figures.pcieLinkWidth && *figures.pcieLinkWidth < *expectation.pcieLinkWidth;
    if (generationShort || widthShort) {
        const auto part = [](const std::optional<int>& value) { return value ? std::to_string(*value) : "?"; };
        found.push_back("PCIe link " + part(figures.pcieLinkGeneration) + "x" + part(figures.pcieLinkWidth) +
                        " under load below the expected " + part(expectation.pcieLinkGeneration) + "x" +
                        part(expectation.pcieLinkWidth));
    }
    if (figures.maxTemperatureCelsius && expectation.maxTemperatureCelsius &&
        *figures.maxTemperatureCelsius > *expectation.maxTemperatureCelsius) {
        char text[96];
        std::snprintf(text, sizeof text, "temperature %.0f C above the expected %.0f", *figures.maxTemperatureCelsius,
                      *expectation.maxTemperatureCelsius);
        found.emplace_back(text);
    }
    return found;
}

}  // namespace report
