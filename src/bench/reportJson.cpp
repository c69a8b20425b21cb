// Building the JSON report with nlohmann-json.
#include "bench/reportJson.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "common/platform.h"
#include "report/reportVocabulary.h"

namespace bench {

namespace {

namespace key = report::key;

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

Json mismatchJson(const Mismatch& mismatch) {
    return Json{
        {"iteration", mismatch.iteration},
        {"judged_against", mismatch.againstReference ? "reference" : "yardstick"},
        {"differing_elements", mismatch.againstReference ? Json(nullptr) : Json(mismatch.differingElements)},
        {"largest_difference", numberOrNull(mismatch.largestDifference)},
        {"relative_l2_error",
         mismatch.againstReference ? numberOrNull(static_cast<double>(mismatch.relativeError)) : Json(nullptr)}};
}

Json checkJson(const DeviceReport& device) {
    const VerificationSummary& verification = device.verification;
    Json mismatches = Json::array();
    for (const Mismatch& mismatch : verification.mismatches) {
        mismatches.push_back(mismatchJson(mismatch));
    }
    const RelativeError& error = verification.firstError;
    return Json{{"relative_l2_error",
                 error.referenceNormIsZero ? Json(nullptr) : numberOrNull(static_cast<double>(error.ratio))},
                {"threshold", static_cast<double>(kPassThreshold)},
                {"reference_norm_zero", error.referenceNormIsZero},
                {"yardstick_iteration",
                 verification.yardstickIteration > 0 ? Json(verification.yardstickIteration) : Json(nullptr)},
                {"verified_products", verification.verifiedProducts},
                {key::mismatchCount, verification.mismatchCount},
                {"mismatches", mismatches},
                {key::passed, device.passed},
                {key::verdict, device.passed ? report::kVerdictPassed : report::kVerdictFailed}};
}

// The cause of a device's failure: its message, and the library call and status when a call failed.
Json errorJson(const DeviceFailure& failure) {
    const bool call = !failure.call.empty();
    const bool returned = call && !failure.stalledSeconds;
    return Json{{key::message, failure.message},
                {key::call, call ? Json(failure.call) : Json(nullptr)},
                {key::statusCode, returned ? Json(failure.statusCode) : Json(nullptr)},
                {key::statusName, returned && !failure.statusName.empty() ? Json(failure.statusName) : Json(nullptr)},
                {"stalled_seconds", failure.stalledSeconds ? Json(*failure.stalledSeconds) : Json(nullptr)}};
}

Json deviceJson(const DeviceReport& device) {
    Json object{{key::index, device.index},
                {key::name, device.described ? Json(device.description.name) : Json(nullptr)},
                {key::uuid, device.described ? Json(device.description.uuid) : Json(nullptr)},
                {"pci_bus_id", device.described ? Json(device.description.pciBusId) : Json(nullptr)},
                {"compute_capability",
                 device.described ? Json{{"major", device.description.major}, {"minor", device.description.minor}}
                                  : Json(nullptr)},
                {"cublas_version", device.libraryVersion}};
    if (device.failure) {
        object[key::status] = report::kStatusError;
        object[key::error] = errorJson(*device.failure);
        return object;
    }
    object[key::status] = device.passed ? report::kStatusPassed : report::kStatusFailed;
    object[key::error] = nullptr;
    object["round_trips"] = device.roundTrips;
    object[key::timing] = Json{{"timed_seconds", device.timedSeconds},
                               {"loop_wall_seconds", device.loopWallSeconds},
                               {"times_exact", device.exactTimes},
                               {"iteration_seconds", percentilesJson(device.iteration)},
                               {"histogram", histogramJson(device.histogram)},
                               {key::upload, phaseJson(device.upload, "bytes", key::gbPerSecond)},
                               {key::sgemm, phaseJson(device.sgemm, "flops", key::gflopPerSecond)},
                               {key::download, phaseJson(device.download, "bytes", key::gbPerSecond)}};
    object[key::roundTripsPerSecond] = device.roundTripsPerSecond;
    object[key::check] = checkJson(device);
    object["outlier"] = device.outlier;
    return object;
}

// The run's interruption: null, or the signal and when it came.
Json interruptionJson(const Interruption& interruption) {
    if (interruption.signal == 0) {
        return nullptr;
    }
    char text[32];
    return Json{{"signal", signalName(interruption.signal, text, sizeof text)},
                {"after_seconds", interruption.afterSeconds}};
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
        {key::schema, report::kSchema},
        {key::program, report::kBenchProgram},
        {"program_version", KAVREL_BENCH_VERSION},
        {key::host, {{key::name, report.nodeName}}},
        {"start_time", report.startTime},
        {"matrix_order", report.matrixOrder},
        {"iterations", options.durationSeconds > 0.0 ? Json(nullptr) : Json(options.iterations)},
        {"duration_seconds", options.durationSeconds > 0.0 ? Json(options.durationSeconds) : Json(nullptr)},
        {"warmup", options.warmup},
        {"phases_synchronised", options.phases},
        {"products_checked", options.checkFirstOnly ? "first" : "all"},
        {"interrupted", interruptionJson(report.interruption)},
        {key::devices, devices},
        {key::node,
         {{"devices", node.devices},
          {"passed", node.passed},
          {"failed_checks", node.failedChecks},
          {"failed_devices", node.failedDevices},
          {"mismatches", node.mismatches},
          {"outliers", node.outliers},
          {"outlier_margin", options.outlierMargin},
          {"expected_devices", node.expectedDevices > 0 ? Json(node.expectedDevices) : Json(nullptr)},
          {"visible_devices", node.visibleDevices >= 0 ? Json(node.visibleDevices) : Json(nullptr)},
          {"missing_devices", node.missingDevices},
          {key::verdict, node.allPassed ? report::kVerdictPassed : report::kVerdictFailed}}}};
    // Bytes of a device name that are not UTF-8 are replaced rather than made an error.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace bench
