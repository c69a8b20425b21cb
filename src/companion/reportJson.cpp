// Building the JSON report with nlohmann-json.
#include "companion/reportJson.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// A figure, or null when it is NaN.
Json numberOrNull(double value) {
    if (std::isnan(value)) {
        return nullptr;
    }
    return value;
}

Json percentilesJson(const Percentiles& figures) {
    return Json{{"p50", figures.p50},    {"p90", figures.p90}, {"p99", figures.p99},
                {"p99_9", figures.p999}, {"max", figures.max}, {"min", figures.min}};
}

Json histogramJson(const Histogram& histogram) {
    return Json{{"edges_seconds", histogram.edges}, {"counts", histogram.counts}};
}

// Whole amounts (bytes, flops) are written as integers.
Json phaseJson(const PhaseFigure& phase, const char* amountName, const char* rateName) {
    return Json{{"median_seconds", phase.medianSeconds},
                {amountName, static_cast<std::int64_t>(phase.amount)},
                {rateName, phase.rate}};
}

Json checkJson(const DeviceReport& device) {
    const VerificationSummary& verification = device.verification;
    Json mismatches = Json::array();
    for (const Mismatch& mismatch : verification.mismatches) {
        mismatches.push_back(Json{{"iteration", mismatch.iteration},
                                  {"differing_elements", mismatch.differingElements},
                                  {"largest_difference", numberOrNull(mismatch.largestDifference)}});
    }
    const RelativeError& error = verification.firstError;
    return Json{{"relative_l2_error",
                 error.referenceNormIsZero ? Json(nullptr) : numberOrNull(static_cast<double>(error.ratio))},
                {"threshold", static_cast<double>(kPassThreshold)},
                {"reference_norm_zero", error.referenceNormIsZero},
                {"verified_products", verification.verifiedProducts},
                {"mismatch_count", verification.mismatchCount},
                {"mismatches", mismatches},
                {"passed", device.passed},
                {"verdict", device.passed ? "PASSED" : "FAILED"}};
}

Json deviceJson(const DeviceReport& device) {
    Json object{{"index", device.index},
                {"name", device.described ? Json(device.description.name) : Json(nullptr)},
                {"uuid", device.described ? Json(device.description.uuid) : Json(nullptr)},
                {"pci_bus_id", device.described ? Json(device.description.pciBusId) : Json(nullptr)},
                {"compute_capability",
                 device.described ? Json{{"major", device.description.major}, {"minor", device.description.minor}}
                                  : Json(nullptr)},
                {"cublas_version", device.libraryVersion}};
    if (device.failed) {
        object["status"] = "error";
        object["error"] = device.failureMessage;
        return object;
    }
    object["status"] = device.passed ? "passed" : "failed";
    object["error"] = nullptr;
    object["round_trips"] = device.roundTrips;
    object["timing"] = Json{{"total_seconds", device.totalSeconds},
                            {"iteration_seconds", percentilesJson(device.iteration)},
                            {"histogram", histogramJson(device.histogram)},
                            {"upload", phaseJson(device.upload, "bytes", "gb_per_second")},
                            {"sgemm", phaseJson(device.sgemm, "flops", "gflop_per_second")},
                            {"download", phaseJson(device.download, "bytes", "gb_per_second")}};
    object["round_trips_per_second"] = device.roundTripsPerSecond;
    object["check"] = checkJson(device);
    object["outlier"] = device.outlier;
    return object;
}

}  // namespace

std::string reportJson(const BenchReport& report) {
    const BenchOptions& options = report.options;
    Json devices = Json::array();
    for (const DeviceReport& device : report.devices) {
        devices.push_back(deviceJson(device));
    }
    const NodeSummary& node = report.node;
    const Json document = {
        {"schema", kReportSchema},
        {"program", "kavrel-bench"},
        {"program_version", KAVREL_BENCH_VERSION},
        {"host", {{"name", report.nodeName}}},
        {"start_time", report.startTime},
        {"matrix_order", report.matrixOrder},
        {"iterations", options.durationSeconds > 0.0 ? Json(nullptr) : Json(options.iterations)},
        {"duration_seconds", options.durationSeconds > 0.0 ? Json(options.durationSeconds) : Json(nullptr)},
        {"warmup", options.warmup},
        {"phases_synchronised", options.phases},
        {"products_checked", options.checkFirstOnly ? "first" : "all"},
        {"devices", devices},
        {"node",
         {{"devices", node.devices},
          {"passed", node.passed},
          {"failed_checks", node.failedChecks},
          {"failed_devices", node.failedDevices},
          {"mismatches", node.mismatches},
          {"outliers", node.outliers},
          {"outlier_margin", options.outlierMargin},
          {"verdict", node.allPassed ? "PASSED" : "FAILED"}}}};
    // Bytes of a device name that are not UTF-8 are replaced rather than made an error.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
