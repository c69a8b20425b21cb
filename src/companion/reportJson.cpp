// Building the JSON report with nlohmann-json.
#include "companion/reportJson.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace {

nlohmann::ordered_json summaryJson(const SampleSummary& summary) {
    return nlohmann::ordered_json{{"median", summary.median}, {"min", summary.minimum}, {"max", summary.maximum}};
}

// Whole amounts (bytes, flops) are written as integers.
std::int64_t wholeAmount(double amount) {
    return static_cast<std::int64_t>(amount);
}

nlohmann::ordered_json transferJson(const SampleSummary& phase, double bytes) {
    return nlohmann::ordered_json{{"median_seconds", phase.median},
                                  {"bytes", wholeAmount(bytes)},
                                  {"gb_per_second", billionsPerSecond(bytes, phase.median)}};
}

nlohmann::ordered_json phasesJson(const TimingFigures& timing) {
    if (!timing.phases) {
        return nullptr;
    }
    return nlohmann::ordered_json{{"upload", transferJson(timing.upload, kUploadBytes)},
                                  {"sgemm",
                                   {{"median_seconds", timing.sgemm.median},
                                    {"flops", wholeAmount(kSgemmFlops)},
                                    {"gflop_per_second", billionsPerSecond(kSgemmFlops, timing.sgemm.median)}}},
                                  {"download", transferJson(timing.download, kDownloadBytes)}};
}

nlohmann::ordered_json errorJson(const RelativeError& error) {
    const double ratio = static_cast<double>(error.ratio);
    if (error.referenceNormIsZero || std::isnan(ratio)) {
        return nullptr;
    }
    return ratio;
}

}  // namespace

std::string reportJson(const BenchReport& report) {
    const nlohmann::ordered_json document = {
        {"schema", kReportSchema},
        {"program", "kavrel-bench"},
        {"program_version", KAVREL_BENCH_VERSION},
        {"device",
         {{"index", firstDevice(report.options)},
          {"name", report.device.name},
          {"compute_capability", {{"major", report.device.major}, {"minor", report.device.minor}}}}},
        {"cublas_version", report.libraryVersion},
        {"matrix_order", kMatrixOrder},
        {"iterations", report.options.iterations},
        {"warmup", report.options.warmup},
        {"timing",
         {{"total_seconds", report.timing.totalSeconds},
          {"iteration_seconds", summaryJson(report.timing.iteration)},
          {"phases", phasesJson(report.timing)}}},
        {"check",
         {{"relative_l2_error", errorJson(report.error)},
          {"threshold", static_cast<double>(kPassThreshold)},
          {"reference_norm_zero", report.error.referenceNormIsZero},
          {"passed", report.passed},
          {"verdict", report.passed ? "PASSED" : "FAILED"}}}};
    // Bytes of the device name that are not UTF-8 are replaced rather than made an error.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
