// Writing kavrel-bench's report as Prometheus metric families: every family's name, type and help defined once, the
// samples of a run gathered by family, and the text written from them.
#include "bench/reportPrometheus.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>
#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

#include "common/platform.h"
#include "report/reportVocabulary.h"

namespace bench {

namespace {

namespace key = report::key;

// One metric family: its name (with its unit as the suffix), its type and its help line.
struct Metric {
    const char* name;
    const char* type;
    const char* help;
};

constexpr const char* kGauge = "gauge";
constexpr const char* kCounter = "counter";
constexpr const char* kSummary = "summary";

// The node's families.
constexpr Metric kInfo{"kavrel_bench_info", kGauge,
                       "Always 1: the program's version, the report's schema, the workload and the math mode"};
constexpr Metric kStartTime{"kavrel_bench_run_start_time_seconds", kGauge,
                            "When the run started, in seconds since the Unix epoch"};
constexpr Metric kDuration{"kavrel_bench_run_duration_seconds", kGauge, "The run's length up to its report"};
constexpr Metric kMatrixOrder{"kavrel_bench_matrix_order", kGauge, "Rows and columns of every matrix"};
constexpr Metric kDevicesExpected{"kavrel_bench_devices_expected", kGauge,
                                  "The devices the runtime must see (--expect-devices)"};
constexpr Metric kDevicesVisible{"kavrel_bench_devices_visible", kGauge, "The devices the runtime sees"};
constexpr Metric kDevicesTested{"kavrel_bench_devices_tested", kGauge, "The devices the run ran on"};
constexpr Metric kDevicesPassed{"kavrel_bench_devices_passed", kGauge, "Devices that completed and passed"};
constexpr Metric kDevicesFailed{"kavrel_bench_devices_failed", kGauge,
                                "Devices that completed with a wrong product or a failed health verdict"};
constexpr Metric kDevicesInError{"kavrel_bench_devices_in_error", kGauge,
                                 "Devices whose run a failed or hung GPU library call ended"};
constexpr Metric kPassed{"kavrel_bench_passed", kGauge,
                         "1 when some device ran, every device passed and none is missing, 0 otherwise"};
constexpr Metric kInterrupted{"kavrel_bench_interrupted", kGauge, "1 when a signal ended the run early"};
constexpr Metric kExitStatus{"kavrel_bench_exit_status", kGauge, "kavrel-bench's exit status for the run"};
constexpr Metric kNvmlLoaded{"kavrel_bench_nvml_loaded", kGauge, "1 when NVML was loaded and answered"};

// Each device's verdicts and figures.
constexpr Metric kDevicePassed{"kavrel_bench_device_passed", kGauge,
                               "1 when the device completed and every product and health verdict was right"};
constexpr Metric kDeviceStatus{"kavrel_bench_device_status", kGauge,
                               "1 for the device's status (passed, failed or error), 0 for the others"};
constexpr Metric kCheckPassed{"kavrel_bench_device_check_passed", kGauge, "1 when every product was checked and right"};
constexpr Metric kHealthPassed{"kavrel_bench_device_health_passed", kGauge,
                               "1 when no health verdict failed and no expectation fell short"};
constexpr Metric kOutlier{"kavrel_bench_device_outlier", kGauge,
                          "1 when the device is more than the margin below the median of its peers"};
constexpr Metric kProducts{"kavrel_bench_device_products", kGauge,
                           "Timed round trips, or products of the resident workload"};
constexpr Metric kVerified{"kavrel_bench_device_products_verified", kGauge, "Products checked"};
constexpr Metric kMismatches{"kavrel_bench_device_mismatches", kGauge, "Wrong products"};
constexpr Metric kRelativeError{"kavrel_bench_device_relative_l2_error", kGauge,
                                "Relative L2 error of the first product against the host reference"};
constexpr Metric kIteration{"kavrel_bench_device_iteration_seconds", kSummary,
                            "One timed round trip (one product of the resident workload), host clock"};
constexpr Metric kRoundTripRate{"kavrel_bench_device_round_trips_per_second", kGauge,
                                "Round trips per second at the median round trip"};
constexpr Metric kUploadRate{"kavrel_bench_device_upload_bytes_per_second", kGauge,
                             "Upload of A, B and C at its median time, device clock"};
constexpr Metric kDownloadRate{"kavrel_bench_device_download_bytes_per_second", kGauge,
                               "Download of C at its median time, device clock"};
constexpr Metric kSgemmRate{"kavrel_bench_device_sgemm_flop_per_second", kGauge,
                            "SGEMM floating-point operations per second at its median time, device clock"};
constexpr Metric kRateFall{"kavrel_bench_device_rate_fall_ratio", kGauge,
                           "Resident workload: fall of the SGEMM rate from its best interval to its last"};
constexpr Metric kRateFell{"kavrel_bench_device_rate_fell", kGauge,
                           "Resident workload: 1 when the rate fell by more than the margin"};
constexpr Metric kVerdictPassed{"kavrel_bench_device_health_verdict_passed", kGauge,
                                "1 when the health verdict passed, 0 when it fails the device"};
constexpr Metric kExpectationPassed{"kavrel_bench_device_expectation_passed", kGauge,
                                    "1 when the device reached its model's expectation"};

// Each device's management readings (NVML).
constexpr Metric kHealthAvailable{"kavrel_bench_device_health_available", kGauge,
                                  "1 when NVML answered for the device's UUID"};
constexpr Metric kHealthSamples{"kavrel_bench_device_health_samples", kGauge, "NVML samples taken during the loop"};
constexpr Metric kTemperature{"kavrel_bench_device_temperature_celsius", kGauge,
                              "GPU temperature over the samples (statistic median, min or max)"};
constexpr Metric kPower{"kavrel_bench_device_power_watts", kGauge,
                        "Power drawn over the samples (statistic median, min or max)"};
constexpr Metric kPowerLimit{"kavrel_bench_device_power_limit_watts", kGauge, "Enforced power limit"};
constexpr Metric kSmClock{"kavrel_bench_device_sm_clock_hertz", kGauge,
                          "SM clock over the samples (statistic median, min or max)"};
constexpr Metric kMemoryClock{"kavrel_bench_device_memory_clock_hertz", kGauge,
                              "Memory clock over the samples (statistic median, min or max)"};
constexpr Metric kMaxSmClock{"kavrel_bench_device_max_sm_clock_hertz", kGauge, "The device's maximum SM clock"};
constexpr Metric kMaxMemoryClock{"kavrel_bench_device_max_memory_clock_hertz", kGauge,
                                 "The device's maximum memory clock"};
constexpr Metric kLinkGeneration{"kavrel_bench_device_pcie_link_generation", kGauge,
                                 "Lowest PCIe link generation sampled under load"};
constexpr Metric kLinkWidth{"kavrel_bench_device_pcie_link_width", kGauge, "Lowest PCIe link width sampled under load"};
constexpr Metric kMaxLinkGeneration{"kavrel_bench_device_pcie_max_link_generation", kGauge,
                                    "Maximum PCIe link generation"};
constexpr Metric kMaxLinkWidth{"kavrel_bench_device_pcie_max_link_width", kGauge, "Maximum PCIe link width"};
constexpr Metric kPcieReplays{"kavrel_bench_device_pcie_replays_total", kCounter, "PCIe replays"};
constexpr Metric kEccEnabled{"kavrel_bench_device_ecc_enabled", kGauge, "1 when ECC is on"};
constexpr Metric kEccErrors{"kavrel_bench_device_ecc_errors_total", kCounter,
                            "ECC errors since the driver loaded (type corrected or uncorrected)"};
constexpr Metric kRemappedRows{"kavrel_bench_device_remapped_rows_total", kCounter,
                               "Rows the memory remapped (type corrected or uncorrected)"};
constexpr Metric kRemapPending{"kavrel_bench_device_remapped_rows_pending", kGauge,
                               "1 when a row remap waits for a reset"};
constexpr Metric kRemapFailure{"kavrel_bench_device_remapped_rows_failure", kGauge, "1 when a row remap failed"};
constexpr Metric kRetiredPending{"kavrel_bench_device_retired_pages_pending", kGauge,
                                 "1 when a retired page waits for a reset"};
constexpr Metric kXidErrors{"kavrel_bench_device_xid_errors", kGauge, "Xid errors reported during the run"};
constexpr Metric kThrottle{"kavrel_bench_device_throttle_ratio", kGauge,
                           "Share of the samples with the clocks-event reason asserted"};

// The label keys only this form uses; the others are the JSON report's keys.
constexpr const char* kVersionLabel = "version";
constexpr const char* kSchemaLabel = "schema";
constexpr const char* kMathLabel = "math";
constexpr const char* kQuantileLabel = "quantile";
constexpr const char* kStatisticLabel = "statistic";
constexpr const char* kTypeLabel = "type";
constexpr const char* kReasonLabel = "reason";

using Labels = std::vector<std::pair<std::string, std::string>>;

// The labels with one more.
Labels withLabel(Labels labels, const char* name, std::string value) {
    labels.emplace_back(name, std::move(value));
    return labels;
}

double flag(bool value) {
    return value ? 1.0 : 0.0;
}

struct Sample {
    std::string name;
    Labels labels;
    double value;
};

// The samples of a run by family, each family in the order of its first sample, so that its samples are written
// together whatever order they came in.
class Exposition {
public:
    // Adds a sample of the metric (suffix "_sum" or "_count" for a summary's); none when the value is not finite.
    void add(const Metric& metric, const Labels& labels, double value, const char* suffix = "") {
        if (!std::isfinite(value)) {
            return;
        }
        std::vector<Sample>* samples = nullptr;
        for (auto& [family, itsSamples] : families_) {
            samples = family == &metric ? &itsSamples : samples;
        }
        if (samples == nullptr) {
            families_.emplace_back(&metric, std::vector<Sample>());
            samples = &families_.back().second;
        }
        samples->push_back(Sample{std::string(metric.name) + suffix, labels, value});
    }

    // Adds a sample when the value is there.
    void add(const Metric& metric, const Labels& labels, const std::optional<double>& value) {
        if (value) {
            add(metric, labels, *value);
        }
    }

    void write(std::ostream& out) const;

private:
    std::vector<std::pair<const Metric*, std::vector<Sample>>> families_;
};

// The length of the UTF-8 sequence text holds at from, or 0 when the bytes there are not one (overlong forms,
// surrogates and code points above U+10FFFF included).
std::size_t utf8SequenceAt(const std::string& text, std::size_t from) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned lead = byte(from);
    if (lead < 0x80) {
        return 1;
    }
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || from + length > text.size()) {
        return 0;
    }
    // The second byte's range depends on the lead; every later byte is a plain continuation byte.
    const unsigned second = byte(from + 1);
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t at = from + 2; at < from + length; ++at) {
        if (byte(at) < 0x80 || byte(at) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// A label value as the format writes it between its quotes: valid UTF-8, backslash, double quote and line break
// escaped. A help line escapes only backslash and line break.
std::string escaped(const std::string& text, bool quote) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length = utf8SequenceAt(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        const char character = text[at];
        if (character == '\\') {
            out += "\\\\";
        } else if (character == '\n') {
            out += "\\n";
        } else if (character == '"' && quote) {
            out += "\\\"";
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

// A sample's value: whole numbers as integers, anything else in the fewest digits that read back as the same double.
std::string valueText(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void Exposition::write(std::ostream& out) const {
    for (const auto& [metric, samples] : families_) {
        out << "# HELP " << metric->name << ' ' << escaped(metric->help, false) << '\n';
        out << "# TYPE " << metric->name << ' ' << metric->type << '\n';
        for (const Sample& sample : samples) {
            out << sample.name;
            for (std::size_t index = 0; index < sample.labels.size(); ++index) {
                out << (index == 0 ? "{" : ",") << sample.labels[index].first << "=\""
                    << escaped(sample.labels[index].second, true) << '"';
            }
            out << (sample.labels.empty() ? " " : "} ") << valueText(sample.value) << '\n';
        }
    }
}

// A snapshot's reading, from after the run or, when that one is missing, from before it.
template <typename Value>
std::optional<double> latest(const Reading<Value>& after, const Reading<Value>& before) {
    if (after.value) {
        return static_cast<double>(*after.value);
    }
    if (before.value) {
        return static_cast<double>(*before.value);
    }
    return std::nullopt;
}

std::optional<double> scaledBy(std::optional<double> value, double factor) {
    return value ? std::optional<double>(*value * factor) : std::nullopt;
}

std::optional<double> lowestUnderLoad(const std::optional<unsigned>& value) {
    return value ? std::optional<double>(*value) : std::nullopt;
}

// The median, smallest and largest of sampled values, scaled to the metric's unit; nothing without samples.
void addSpread(const Metric& metric, const TimeSummary& values, double factor, const Labels& labels, Exposition* out) {
    if (values.count() == 0) {
        return;
    }
    const Percentiles figures = values.percentiles();
    out->add(metric, withLabel(labels, kStatisticLabel, "median"), figures.p50 * factor);
    out->add(metric, withLabel(labels, kStatisticLabel, "min"), figures.min * factor);
    out->add(metric, withLabel(labels, kStatisticLabel, "max"), figures.max * factor);
}

// The device's management readings, when NVML answered for it: whatever it gave, the device in error included.
void addHealth(const DeviceHealth& health, const Labels& labels, Exposition* out) {
    out->add(kHealthAvailable, labels, flag(health.matched));
    if (!health.matched) {
        return;
    }
    const SampleSummary& during = health.during;
    const HealthSnapshot& before = health.before;
    const HealthSnapshot& after = health.after;
    out->add(kHealthSamples, labels, static_cast<double>(during.samples()));
    addSpread(kTemperature, during.temperatureCelsius(), 1.0, labels, out);
    addSpread(kPower, during.powerWatts(), 1.0, labels, out);
    addSpread(kSmClock, during.smClockMhz(), 1e6, labels, out);
    addSpread(kMemoryClock, during.memoryClockMhz(), 1e6, labels, out);
    out->add(kPowerLimit, labels, latest(after.powerLimitWatts, before.powerLimitWatts));
    out->add(kMaxSmClock, labels, scaledBy(latest(after.maxSmClockMhz, before.maxSmClockMhz), 1e6));
    out->add(kMaxMemoryClock, labels, scaledBy(latest(after.maxMemoryClockMhz, before.maxMemoryClockMhz), 1e6));
    out->add(kLinkGeneration, labels, lowestUnderLoad(during.lowestLinkGenerationUnderLoad()));
    out->add(kLinkWidth, labels, lowestUnderLoad(during.lowestLinkWidthUnderLoad()));
    out->add(kMaxLinkGeneration, labels, latest(after.maxLinkGeneration, before.maxLinkGeneration));
    out->add(kMaxLinkWidth, labels, latest(after.maxLinkWidth, before.maxLinkWidth));
    out->add(kPcieReplays, labels, latest(after.pcieReplays, before.pcieReplays));
    out->add(kEccEnabled, labels, latest(after.eccEnabled, before.eccEnabled));
    out->add(kEccErrors, withLabel(labels, kTypeLabel, "corrected"), latest(after.eccCorrected, before.eccCorrected));
    out->add(kEccErrors, withLabel(labels, kTypeLabel, "uncorrected"),
             latest(after.eccUncorrected, before.eccUncorrected));
    const Reading<RemappedRows>& rows = after.remappedRows.value ? after.remappedRows : before.remappedRows;
    if (rows.value) {
        out->add(kRemappedRows, withLabel(labels, kTypeLabel, "corrected"), rows.value->corrected);
        out->add(kRemappedRows, withLabel(labels, kTypeLabel, "uncorrected"), rows.value->uncorrected);
        out->add(kRemapPending, labels, flag(rows.value->pending));
        out->add(kRemapFailure, labels, flag(rows.value->failure));
    }
    out->add(kRetiredPending, labels, latest(after.retiredPagesPending, before.retiredPagesPending));
    out->add(kXidErrors, labels, static_cast<double>(health.xidCount));
    if (during.reasonSamples() > 0) {
        for (std::size_t index = 0; index < kClockReasons; ++index) {
            const auto reason = static_cast<ClockReason>(index);
            out->add(kThrottle, withLabel(labels, kReasonLabel, clockReasonName(reason)), during.shareWith(reason));
        }
    }
}

// The figures of a device that completed its timed loop.
void addFigures(const BenchReport& report, const DeviceReport& device, const Labels& labels, Exposition* out) {
    const bool resident = report.options.workload == Workload::resident;
    out->add(kCheckPassed, labels, flag(device.checkPassed));
    out->add(kHealthPassed, labels, flag(device.healthPassed));
    out->add(kOutlier, labels, flag(device.outlier));
    const RelativeError& error = device.verification.firstError;
    if (!error.referenceNormIsZero) {
        out->add(kRelativeError, labels, static_cast<double>(error.ratio));
    }
    const std::pair<const char*, double> quantiles[] = {{"0.5", device.iteration.p50},
                                                        {"0.9", device.iteration.p90},
                                                        {"0.99", device.iteration.p99},
                                                        {"0.999", device.iteration.p999}};
    for (const auto& [quantile, seconds] : quantiles) {
        out->add(kIteration, withLabel(labels, kQuantileLabel, quantile), seconds);
    }
    out->add(kIteration, labels, device.timedSeconds, "_sum");
    out->add(kIteration, labels, static_cast<double>(device.roundTrips), "_count");
    if (!resident) {
        out->add(kRoundTripRate, labels, device.roundTripsPerSecond);
        out->add(kUploadRate, labels, device.upload.rate * 1e9);
        out->add(kDownloadRate, labels, device.download.rate * 1e9);
    }
    out->add(kSgemmRate, labels, device.sgemm.rate * 1e9);
    if (resident) {
        out->add(kRateFall, labels, device.rateFall);
        out->add(kRateFell, labels, flag(device.rateFell));
    }
    for (const HealthVerdict& verdict : device.healthVerdicts) {
        out->add(kVerdictPassed, withLabel(labels, key::kVerdict, verdict.name), flag(verdict.passed));
    }
    if (device.expected) {
        out->add(kExpectationPassed, labels, flag(device.shortfalls.empty()));
    }
}

void addDevice(const BenchReport& report, const DeviceReport& device, Exposition* out) {
    const Labels labels{{key::kNode, report.nodeName},
                        {key::kIndex, std::to_string(device.index)},
                        {key::kUuid, device.described ? device.description.uuid : std::string()},
                        {key::kName, device.described ? device.description.name : std::string()}};
    const std::string status = device.failure  ? report::kStatusError
                               : device.passed ? report::kStatusPassed
                                               : report::kStatusFailed;
    out->add(kDevicePassed, labels, flag(status == report::kStatusPassed));
    for (const char* each : {report::kStatusPassed, report::kStatusFailed, report::kStatusError}) {
        out->add(kDeviceStatus, withLabel(labels, key::kStatus, each), flag(status == each));
    }
    if (!device.failure) {
        out->add(kProducts, labels, static_cast<double>(device.roundTrips));
        out->add(kVerified, labels, static_cast<double>(device.verification.verifiedProducts));
        out->add(kMismatches, labels, static_cast<double>(device.verification.mismatchCount));
        if (device.roundTrips > 0) {
            addFigures(report, device, labels, out);
        }
    }
    addHealth(device.health, labels, out);
}

void addNode(const BenchReport& report, int exitStatus, Exposition* out) {
    const Labels labels{{key::kNode, report.nodeName}};
    const NodeSummary& node = report.node;
    out->add(kInfo,
             Labels{{key::kNode, report.nodeName},
                    {kVersionLabel, KAVREL_BENCH_VERSION},
                    {kSchemaLabel, std::to_string(report::kSchema)},
                    {key::kWorkload, workloadName(report.options.workload)},
                    {kMathLabel, mathName(report.options.math)}},
             1.0);
    out->add(kStartTime, labels, static_cast<double>(report.startSeconds));
    out->add(kDuration, labels, report.durationSeconds);
    out->add(kMatrixOrder, labels, report.matrixOrder);
    if (node.expectedDevices > 0) {
        out->add(kDevicesExpected, labels, node.expectedDevices);
    }
    if (node.visibleDevices >= 0) {
        out->add(kDevicesVisible, labels, node.visibleDevices);
    }
    out->add(kDevicesTested, labels, node.devices);
    out->add(kDevicesPassed, labels, node.passed);
    out->add(kDevicesFailed, labels, node.failedChecks);
    out->add(kDevicesInError, labels, node.failedDevices);
    out->add(kPassed, labels, flag(node.allPassed));
    out->add(kInterrupted, labels, flag(report.interruption.signal != 0));
    out->add(kExitStatus, labels, exitStatus);
    out->add(kNvmlLoaded, labels, flag(report.nvml.loaded));
}

}  // namespace

void writePrometheus(const BenchReport& report, int exitStatus, std::ostream& out) {
    Exposition exposition;
    addNode(report, exitStatus, &exposition);
    for (const DeviceReport& device : report.devices) {
        addDevice(report, device, &exposition);
    }
    exposition.write(out);
}

bool writePrometheusFile(const BenchReport& report, int exitStatus, const std::string& path, std::string* problem) {
    std::ostringstream text;
    writePrometheus(report, exitStatus, text);
    return replaceFileAtomically(path, text.str(), problem);
}

std::string prometheusFailureLine(const std::string& path, const std::string& problem) {
    return "!!!! prometheus file write error: " + path + ": " + problem + "\n";
}

}  // namespace bench
