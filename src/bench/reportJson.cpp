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
    return Json{{"iteration", mismatch.iteration},
                {"judged_against", mismatch.againstReference ? "reference" : "yardstick"},
                {"differing_elements", mismatch.againstReference ? Json(nullptr) : Json(mismatch.differingElements)},
                {"largest_difference", numberOrNull(mismatch.largestDifference)},
                {"relative_l2_error",
                 mismatch.againstReference ? numberOrNull(static_cast<double>(mismatch.relativeError)) : Json(nullptr)},
                {"device_check_only", mismatch.deviceCheckOnly}};
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
                {"threshold", static_cast<double>(verification.threshold)},
                {"reference_norm_zero", error.referenceNormIsZero},
                {"yardstick_iteration",
                 verification.yardstickIteration > 0 ? Json(verification.yardstickIteration) : Json(nullptr)},
                {"verified_products", verification.verifiedProducts},
                {key::kMismatchCount, verification.mismatchCount},
                {"mismatches", mismatches},
                {key::kPassed, device.checkPassed},
                {key::kVerdict, device.checkPassed ? report::kVerdictPassed : report::kVerdictFailed}};
}

// The cause of a device's failure: its message, and the library call and status when a call failed.
Json errorJson(const DeviceFailure& failure) {
    const bool call = !failure.call.empty();
    const bool returned = call && !failure.stalledSeconds;
    return Json{{key::kMessage, failure.message},
                {key::kCall, call ? Json(failure.call) : Json(nullptr)},
                {key::kStatusCode, returned ? Json(failure.statusCode) : Json(nullptr)},
                {key::kStatusName, returned && !failure.statusName.empty() ? Json(failure.statusName) : Json(nullptr)},
                {"stalled_seconds", failure.stalledSeconds ? Json(*failure.stalledSeconds) : Json(nullptr)}};
}

// A reading as JSON: its value, or null (the reason is listed under unavailable_readings).
template <typename Value>
Json readingJson(const Reading<Value>& reading) {
    return reading.value ? Json(*reading.value) : Json(nullptr);
}

Json snapshotJson(const HealthSnapshot& snapshot) {
    Json rows = nullptr;
    if (snapshot.remappedRows.value) {
        const RemappedRows& remapped = *snapshot.remappedRows.value;
        rows = Json{{"corrected", remapped.corrected},
                    {"uncorrected", remapped.uncorrected},
                    {"pending", remapped.pending},
                    {"failure", remapped.failure}};
    }
    return Json{{"pcie_link_generation", readingJson(snapshot.linkGeneration)},
                {"pcie_link_width", readingJson(snapshot.linkWidth)},
                {"pcie_max_link_generation", readingJson(snapshot.maxLinkGeneration)},
                {"pcie_max_link_width", readingJson(snapshot.maxLinkWidth)},
                {"pcie_replay_count", readingJson(snapshot.pcieReplays)},
                {"ecc_enabled", readingJson(snapshot.eccEnabled)},
                {"ecc_uncorrected_volatile", readingJson(snapshot.eccUncorrected)},
                {"ecc_corrected_volatile", readingJson(snapshot.eccCorrected)},
                {"remapped_rows", rows},
                {"retired_pages_pending", readingJson(snapshot.retiredPagesPending)},
                {"power_limit_watts", readingJson(snapshot.powerLimitWatts)},
                {"max_sm_clock_mhz", readingJson(snapshot.maxSmClockMhz)},
                {"max_memory_clock_mhz", readingJson(snapshot.maxMemoryClockMhz)}};
}

// The median, smallest and largest of sampled values, or null without any.
Json spreadJson(const TimeSummary& values) {
    if (values.count() == 0) {
        return nullptr;
    }
    const Percentiles figures = values.percentiles();
    return Json{{"median", figures.p50}, {"min", figures.min}, {"max", figures.max}};
}

Json samplesJson(const SampleSummary& during, double intervalSeconds) {
    Json reasons = Json::object();
    for (std::size_t index = 0; index < kClockReasons; ++index) {
        const auto reason = static_cast<ClockReason>(index);
        reasons[clockReasonName(reason)] = Json{{"share", during.shareWith(reason)},
                                                {"samples", during.samplesWith(reason)},
                                                {"round_trips", during.roundTripsWith(reason)}};
    }
    const auto link = [](const std::optional<unsigned>& value) { return value ? Json(*value) : Json(nullptr); };
    return Json{{"interval_seconds", intervalSeconds},
                {"count", during.samples()},
                {"temperature_celsius", spreadJson(during.temperatureCelsius())},
                {"power_watts", spreadJson(during.powerWatts())},
                {"sm_clock_mhz", spreadJson(during.smClockMhz())},
                {"memory_clock_mhz", spreadJson(during.memoryClockMhz())},
                {"clocks_event_reasons", during.reasonSamples() > 0 ? reasons : Json(nullptr)},
                {"pcie_link_under_load", Json{{"samples", during.underLoadSamples()},
                                              {"min_generation", link(during.lowestLinkGenerationUnderLoad())},
                                              {"min_width", link(during.lowestLinkWidthUnderLoad())}}}};
}

// The device's management readings and the verdicts drawn from them.
Json healthJson(const DeviceReport& device) {
    const DeviceHealth& health = device.health;
    Json verdicts = Json::array();
    for (const HealthVerdict& verdict : device.healthVerdicts) {
        verdicts.push_back(Json{{"name", verdict.name}, {"passed", verdict.passed}, {"detail", verdict.detail}});
    }
    Json unavailable = Json::object();
    for (const auto& [name, why] : health.unavailableReadings) {
        unavailable[name] = why;
    }
    Json xids = Json::array();
    for (const XidError& xid : health.xids) {
        xids.push_back(Json{{"xid", xid.xid}, {"at_seconds", xid.atSeconds}});
    }
    return Json{{"available", health.matched},
                {"unavailable", health.matched ? Json(nullptr) : Json(health.unavailable)},
                {"unavailable_readings", unavailable},
                {"before", health.matched ? snapshotJson(health.before) : Json(nullptr)},
                {"after", health.matched ? snapshotJson(health.after) : Json(nullptr)},
                {"samples", health.matched ? samplesJson(health.during, health.sampleIntervalSeconds) : Json(nullptr)},
                {"xid_count", health.xidCount},
                {"xid_errors", xids},
                {"verdicts", verdicts},
                {"expectation", device.expected ? Json(device.shortfalls) : Json(nullptr)},
                {key::kPassed, device.healthPassed}};
}

// The resident workload's rate series and the fall of its rate.
Json intervalsJson(const DeviceReport& device) {
    Json series = Json::array();
    for (const IntervalReport& interval : device.intervals) {
        const IntervalReadings& readings = interval.readings;
        const auto median = [](const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); };
        series.push_back(
            Json{{"start_seconds", interval.startSeconds},
                 {"seconds", interval.seconds},
                 {"products", interval.products},
                 {"sgemm_gflop_per_second", interval.gflopPerSecond},
                 {"samples", readings.samples},
                 {"sm_clock_mhz", median(readings.smClockMhz)},
                 {"power_watts", median(readings.powerWatts)},
                 {"temperature_celsius", median(readings.temperatureCelsius)},
                 {"throttle_share", readings.reasonSamples > 0 ? Json(static_cast<double>(readings.throttledSamples) /
                                                                      static_cast<double>(readings.reasonSamples))
                                                               : Json(nullptr)}});
    }
    return series;
}

Json deviceJson(const BenchReport& report, const DeviceReport& device) {
    const bool resident = report.options.workload == Workload::resident;
    Json object{{key::kIndex, device.index},
                {key::kName, device.described ? Json(device.description.name) : Json(nullptr)},
                {key::kUuid, device.described ? Json(device.description.uuid) : Json(nullptr)},
                {"pci_bus_id", device.described ? Json(device.description.pciBusId) : Json(nullptr)},
                {"compute_capability",
                 device.described ? Json{{"major", device.description.major}, {"minor", device.description.minor}}
                                  : Json(nullptr)},
                {"multiprocessors", device.described ? Json(device.description.multiprocessors) : Json(nullptr)},
                {"cublas_version", device.libraryVersion}};
    if (device.failure) {
        object[key::kStatus] = report::kStatusError;
        object[key::kError] = errorJson(*device.failure);
        return object;
    }
    object[key::kStatus] = device.passed ? report::kStatusPassed : report::kStatusFailed;
    object[key::kError] = nullptr;
    object["round_trips"] = resident ? Json(nullptr) : Json(device.roundTrips);
    object["products"] = device.roundTrips;
    object[key::kTiming] =
        Json{{"timed_seconds", device.timedSeconds},
             {"loop_wall_seconds", device.loopWallSeconds},
             {"times_exact", device.exactTimes},
             {"iteration_seconds", percentilesJson(device.iteration)},
             {"histogram", histogramJson(device.histogram)},
             {key::kUpload, resident ? Json(nullptr) : phaseJson(device.upload, "bytes", key::kGbPerSecond)},
             {key::kSgemm, phaseJson(device.sgemm, "flops", key::kGflopPerSecond)},
             {key::kDownload, resident ? Json(nullptr) : phaseJson(device.download, "bytes", key::kGbPerSecond)}};
    object[key::kRoundTripsPerSecond] = resident ? Json(nullptr) : Json(device.roundTripsPerSecond);
    object[key::kCheck] = checkJson(device);
    object[key::kHealth] = healthJson(device);
    object["intervals"] = resident ? intervalsJson(device) : Json(nullptr);
    object["rate_fall"] = device.rateFall ? Json(*device.rateFall) : Json(nullptr);
    object["rate_fell"] = device.rateFell;
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
        devices.push_back(deviceJson(report, device));
    }
    const NodeSummary& node = report.node;
    const Json document = {
        {key::kSchema, report::kSchema},
        {key::kProgram, report::kBenchProgram},
        {"program_version", KAVREL_BENCH_VERSION},
        {key::kHost, {{key::kName, report.nodeName}}},
        {"start_time", report.startTime},
        {key::kWorkload, workloadName(options.workload)},
        {"math", mathName(options.math)},
        {key::kMatrixOrder, report.matrixOrder},
        {"iterations", options.durationSeconds > 0.0 ? Json(nullptr) : Json(options.iterations)},
        {"duration_seconds", options.durationSeconds > 0.0 ? Json(options.durationSeconds) : Json(nullptr)},
        {"warmup", options.warmup},
        {"phases_synchronised", options.phases},
        {"products_checked", options.checkFirstOnly ? "first" : "all"},
        // With --check-first-only the resident workload compares nothing on the device: only the first product is
        // checked, on the host.
        {"products_checked_on", options.workload == Workload::resident && !options.checkFirstOnly ? "device" : "host"},
        {"interval_seconds", options.workload == Workload::resident ? Json(options.intervalSeconds) : Json(nullptr)},
        {"interrupted", interruptionJson(report.interruption)},
        {"nvml",
         {{"loaded", report.nvml.loaded},
          {"library", report.nvml.loaded ? Json(report.nvml.library) : Json(nullptr)},
          {"driver_version", report.nvml.driverVersion.empty() ? Json(nullptr) : Json(report.nvml.driverVersion)},
          {"problem", report.nvml.problem.empty() ? Json(nullptr) : Json(report.nvml.problem)},
          {"sample_interval_seconds", options.sampleIntervalSeconds}}},
        {key::kDevices, devices},
        {key::kNode,
         {{"devices", node.devices},
          {"passed", node.passed},
          {"failed_checks", node.failedChecks},
          {"failed_health", node.failedHealth},
          {"failed_devices", node.failedDevices},
          {"mismatches", node.mismatches},
          {"outliers", node.outliers},
          {"outliers_judged_by", judgedRateName(options.workload)},
          {"outlier_margin", options.outlierMargin},
          {"expected_devices", node.expectedDevices > 0 ? Json(node.expectedDevices) : Json(nullptr)},
          {"visible_devices", node.visibleDevices >= 0 ? Json(node.visibleDevices) : Json(nullptr)},
          {"missing_devices", node.missingDevices},
          {key::kVerdict, node.allPassed ? report::kVerdictPassed : report::kVerdictFailed}}}};
    // Bytes of a device name that are not UTF-8 are replaced rather than made an error.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace bench
