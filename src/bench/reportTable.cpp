// Formatting of the report as aligned text: the run, a row per device, each device's details and the node.
#include "bench/reportTable.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "common/platform.h"

namespace bench {

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;
constexpr int kHistogramBarWidth = 40;

// Appends printf-formatted text.
void append(std::string* text, const char* format, ...) {
    char line[768];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    *text += line;
}

// Appends one row: the label padded to a fixed column, then the printf-formatted value and a line break.
void appendRow(std::string* text, const char* label, const char* format, ...) {
    char value[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(value, sizeof value, format, arguments);
    va_end(arguments);
    append(text, "%-20s%s\n", label, value);
}

double milliseconds(double seconds) {
    return seconds * kMillisecondsPerSecond;
}

const char* deviceName(const DeviceReport& device) {
    return device.described ? device.description.name : "(unknown)";
}

// The device's one-line verdict in the summary table.
const char* verdictWord(const DeviceReport& device) {
    if (device.failure) {
        return "ERROR";
    }
    return device.passed ? "PASSED" : "FAILED";
}

bool isResident(const BenchReport& report) {
    return report.options.workload == Workload::resident;
}

void appendRun(std::string* text, const BenchReport& report) {
    const BenchOptions& options = report.options;
    const bool resident = isResident(report);
    appendRow(text, "Node", "%s, run started %s", report.nodeName.c_str(), report.startTime.c_str());
    appendRow(text, "Matrix order", "%d", report.matrixOrder);
    appendRow(text, "Workload", "%s",
              resident ? "resident: operands uploaded once, SGEMMs back to back on the device"
                       : "round trips of upload, SGEMM and download");
    if (options.math == MathMode::tf32) {
        appendRow(text, "Math", "TF32 tensor-op math");
    }
    const char* what = resident ? "Products" : "Round trips";
    const std::string warmup =
        std::to_string(options.warmup) + " warm-up" + (options.phases ? ", phases synchronised" : "");
    if (options.durationSeconds > 0.0) {
        appendRow(text, what, "for %.0f s on each device, %s", options.durationSeconds, warmup.c_str());
    } else {
        appendRow(text, what, "%d timed on each device, %s", options.iterations, warmup.c_str());
    }
    appendRow(text, "NVML", "%s",
              report.nvml.loaded ? ("loaded, driver " +
                                    (report.nvml.driverVersion.empty() ? std::string("?") : report.nvml.driverVersion))
                                       .c_str()
                                 : report.nvml.problem.c_str());
    const char* checked =
        "every one: against the host reference until one passes, then bit for bit against that "
        "one";
    if (options.checkFirstOnly) {
        checked = "the first alone, against the host reference";
    } else if (resident) {
        checked =
            "every one: against the host reference until one passes, then on the device against that one "
            "(the sum of their differences is 0)";
    }
    appendRow(text, "Products checked", "%s", checked);
}

void appendDeviceRows(std::string* text, const BenchReport& report) {
    const bool resident = isResident(report);
    append(text, "\n%-6s %-28s %11s %9s %9s %9s %9s %9s %10s %10s  %s\n", "Device", "Name",
           resident ? "Products" : "Round trips", "p50 ms", "p99 ms", "max ms", "Up GB/s", "Down GB/s", "GFLOP/s",
           "Mismatches", "Verdict");
    for (const DeviceReport& device : report.devices) {
        if (device.failure) {
            append(text, "%-6d %-28.28s %11s %9s %9s %9s %9s %9s %10s %10s  %s\n", device.index, deviceName(device),
                   "-", "-", "-", "-", "-", "-", "-", "-", verdictWord(device));
            continue;
        }
        char up[16] = "-";
        char down[16] = "-";
        if (!resident) {
            std::snprintf(up, sizeof up, "%.2f", device.upload.rate);
            std::snprintf(down, sizeof down, "%.2f", device.download.rate);
        }
        append(text, "%-6d %-28.28s %11ld %9.3f %9.3f %9.3f %9s %9s %10.1f %10ld  %s%s%s\n", device.index,
               deviceName(device), device.roundTrips, milliseconds(device.iteration.p50),
               milliseconds(device.iteration.p99), milliseconds(device.iteration.max), up, down, device.sgemm.rate,
               device.verification.mismatchCount, verdictWord(device), device.outlier ? " (outlier)" : "",
               device.rateFell ? " (rate fell)" : "");
    }
}

// The rate series of the resident workload: a row per interval, or per group of intervals when there are more
// than kSeriesRows, with a bar scaled to the best, and the fall of the rate.
void appendSeries(std::string* text, const BenchReport& report, const DeviceReport& device) {
    constexpr std::size_t kSeriesRows = 20;
    constexpr int kSeriesBarWidth = 30;
    if (device.intervals.empty()) {
        return;
    }
    const std::size_t group = (device.intervals.size() + kSeriesRows - 1) / kSeriesRows;
    struct Row {
        double start, end;
        long products;
        double flops;
        double sgemmSeconds;
        IntervalReadings readings;  // the first interval's with samples in the group
    };
    std::vector<Row> rows;
    const double flopsPerProduct = sgemmFlops(report.options.size);
    for (std::size_t first = 0; first < device.intervals.size(); first += group) {
        Row row{device.intervals[first].startSeconds, 0.0, 0, 0.0, 0.0, IntervalReadings{}};
        for (std::size_t index = first; index < std::min(first + group, device.intervals.size()); ++index) {
            const IntervalReport& interval = device.intervals[index];
            row.end = interval.startSeconds + interval.seconds;
            row.products += interval.products;
            row.flops += flopsPerProduct * static_cast<double>(interval.products);
            if (interval.gflopPerSecond > 0.0) {
                row.sgemmSeconds +=
                    flopsPerProduct * static_cast<double>(interval.products) / (interval.gflopPerSecond * 1e9);
            }
            if (row.readings.samples == 0) {
                row.readings = interval.readings;
            }
        }
        rows.push_back(row);
    }
    double best = 0.0;
    for (const Row& row : rows) {
        best = std::max(best, billionsPerSecond(row.flops, row.sgemmSeconds));
    }
    appendRow(text, "Rate series", "%g s intervals%s, SGEMM GFLOP/s on the device's clock",
              report.options.intervalSeconds, group > 1 ? (", " + std::to_string(group) + " to a row").c_str() : "");
    for (const Row& row : rows) {
        const double rate = billionsPerSecond(row.flops, row.sgemmSeconds);
        const int bar = best > 0.0 ? static_cast<int>(std::lround(rate / best * kSeriesBarWidth)) : 0;
        std::string readings;
        const IntervalReadings& r = row.readings;
        if (r.smClockMhz) {
            readings += "  SM " + std::to_string(std::lround(*r.smClockMhz)) + " MHz";
        }
        if (r.powerWatts) {
            readings += "  " + std::to_string(std::lround(*r.powerWatts)) + " W";
        }
        if (r.temperatureCelsius) {
            readings += "  " + std::to_string(std::lround(*r.temperatureCelsius)) + " C";
        }
        if (r.reasonSamples > 0) {
            readings += "  throttled " +
                        std::to_string(std::lround(100.0 * static_cast<double>(r.throttledSamples) /
                                                   static_cast<double>(r.reasonSamples))) +
                        "%";
        }
        append(text, "  %7.0f - %7.0f s %9ld products %10.1f GFLOP/s  %-*s%s\n", row.start, row.end, row.products, rate,
               kSeriesBarWidth, std::string(static_cast<std::size_t>(std::max(bar, rate > 0.0 ? 1 : 0)), '#').c_str(),
               readings.c_str());
    }
    if (device.rateFall) {
        appendRow(text, "Rate fall", "%.0f%% from the best interval to the last%s", *device.rateFall * 100.0,
                  device.rateFell
                      ? (", more than " + std::to_string(std::lround(kRateFallMargin * 100.0)) + "%: flagged").c_str()
                      : "");
    }
}

// A reading's value as text, or "?" when it is not there.
template <typename Value>
std::string shown(const Reading<Value>& reading) {
    return reading.value ? std::to_string(*reading.value) : std::string("?");
}

// The median and range of sampled values with their unit, or "not read".
std::string spread(const TimeSummary& values, const char* unit) {
    if (values.count() == 0) {
        return "not read";
    }
    const Percentiles figures = values.percentiles();
    char line[128];
    std::snprintf(line, sizeof line, "%.0f %s median, %.0f to %.0f", figures.p50, unit, figures.min, figures.max);
    return line;
}

// The health block: the link, clocks, power and temperature, throttling, memory errors, Xid errors and the verdicts.
void appendHealth(std::string* text, const DeviceReport& device) {
    const DeviceHealth& health = device.health;
    if (!health.matched) {
        appendRow(text, "Health", "not read: %s", health.unavailable.c_str());
    } else {
        const HealthSnapshot& before = health.before;
        const SampleSummary& during = health.during;
        std::string link = "PCIe max " + shown(before.maxLinkGeneration) + "x" + shown(before.maxLinkWidth);
        if (during.underLoadSamples() > 0) {
            const auto part = [](const std::optional<unsigned>& value) {
                return value ? std::to_string(*value) : std::string("?");
            };
            link += ", under load " + part(during.lowestLinkGenerationUnderLoad()) + "x" +
                    part(during.lowestLinkWidthUnderLoad()) + " at the lowest";
        }
        appendRow(text, "Link", "%s, %s replays", link.c_str(), shown(health.after.pcieReplays).c_str());
        appendRow(text, "Samples", "%ld every %g s: temperature %s; power %s of %s W", during.samples(),
                  health.sampleIntervalSeconds, spread(during.temperatureCelsius(), "C").c_str(),
                  spread(during.powerWatts(), "W").c_str(),
                  before.powerLimitWatts.value ? std::to_string(static_cast<int>(*before.powerLimitWatts.value)).c_str()
                                               : "?");
        appendRow(text, "Clocks", "SM %s of %s MHz; memory %s of %s MHz", spread(during.smClockMhz(), "MHz").c_str(),
                  shown(before.maxSmClockMhz).c_str(), spread(during.memoryClockMhz(), "MHz").c_str(),
                  shown(before.maxMemoryClockMhz).c_str());
        std::string throttling;
        for (std::size_t index = 0; index < kClockReasons; ++index) {
            const auto reason = static_cast<ClockReason>(index);
            if (reasonIsThrottle(reason) && during.samplesWith(reason) > 0) {
                char part[128];
                std::snprintf(part, sizeof part, "%s%s %.0f%% of samples (%ld round trips)",
                              throttling.empty() ? "" : ", ", clockReasonName(reason), during.shareWith(reason) * 100.0,
                              during.roundTripsWith(reason));
                throttling += part;
            }
        }
        appendRow(text, "Throttling", "%s",
                  during.reasonSamples() == 0 ? "not read"
                  : throttling.empty()        ? "none"
                                              : throttling.c_str());
        const HealthSnapshot& after = health.after;
        std::string memory = after.eccEnabled.value ? (*after.eccEnabled.value ? "ECC on" : "ECC off") : "ECC ?";
        if (after.eccUncorrected.value) {
            memory += ", " + std::to_string(*after.eccUncorrected.value) + " uncorrected and " +
                      shown(after.eccCorrected) + " corrected errors";
        }
        if (after.remappedRows.value) {
            const RemappedRows& rows = *after.remappedRows.value;
            memory += ", " + std::to_string(rows.corrected + rows.uncorrected) + " rows remapped" +
                      (rows.failure   ? ", a remap failed"
                       : rows.pending ? ", a remap pending"
                                      : "");
        }
        if (after.retiredPagesPending.value && *after.retiredPagesPending.value) {
            memory += ", a retired page pending";
        }
        appendRow(text, "Memory", "%s", memory.c_str());
        std::string xids = health.xidCount == 0 ? "none" : "";
        for (const XidError& xid : health.xids) {
            char part[64];
            std::snprintf(part, sizeof part, "%s%llu at %.1f s", xids.empty() ? "" : ", ", xid.xid, xid.atSeconds);
            xids += part;
        }
        appendRow(text, "Xid errors", "%s", xids.c_str());
        if (!health.unavailableReadings.empty()) {
            std::string missing;
            for (const auto& [name, why] : health.unavailableReadings) {
                missing += missing.empty() ? "" : ", ";
                missing += name;
                missing += " (" + why + ")";
            }
            appendRow(text, "Not read", "%s", missing.c_str());
        }
    }
    std::string failed;
    for (const HealthVerdict& verdict : device.healthVerdicts) {
        if (!verdict.passed) {
            failed += (failed.empty() ? "" : "; ") + verdict.detail;
        }
    }
    for (const std::string& shortfall : device.shortfalls) {
        failed += (failed.empty() ? "" : "; ") + shortfall;
    }
    if (!failed.empty()) {
        appendRow(text, "Health verdict", "FAILED: %s", failed.c_str());
    } else if (health.matched || device.expected) {
        appendRow(text, "Health verdict", "PASSED%s", device.expected ? ", the model's expectation met" : "");
    }
}

void appendDeviceDetails(std::string* text, const BenchReport& report, const DeviceReport& device) {
    const bool resident = isResident(report);
    append(text, "\nDevice %d: %s\n", device.index, deviceName(device));
    if (device.described) {
        appendRow(text, "Identity", "%s at PCI %s, compute capability %d.%d, cuBLAS %d", device.description.uuid,
                  device.description.pciBusId, device.description.major, device.description.minor,
                  device.libraryVersion);
    }
    if (device.failure) {
        const DeviceFailure& failure = *device.failure;
        if (failure.call.empty() || failure.stalledSeconds) {
            appendRow(text, "Error", "%s", failure.message.c_str());
        } else {
            appendRow(text, "Error", "%s (%s returned %d, %s)", failure.message.c_str(), failure.call.c_str(),
                      failure.statusCode, failure.statusName.empty() ? "unnamed" : failure.statusName.c_str());
        }
        return;
    }
    const Percentiles& iteration = device.iteration;
    appendRow(text, "Loop wall time", "%.6f s, of which %.6f s in timed %s", device.loopWallSeconds,
              device.timedSeconds, resident ? "SGEMMs" : "round trips");
    appendRow(text, resident ? "Product" : "Iteration",
              "p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f  min %.3f ms%s", milliseconds(iteration.p50),
              milliseconds(iteration.p90), milliseconds(iteration.p99), milliseconds(iteration.p999),
              milliseconds(iteration.max), milliseconds(iteration.min),
              device.exactTimes ? "" : " (binned: within 0.1%)");
    if (!resident) {
        appendRow(text, "Upload median", "%10.3f ms  %12.2f GB/s", milliseconds(device.upload.medianSeconds),
                  device.upload.rate);
    }
    appendRow(text, "SGEMM median", "%10.3f ms  %12.2f GFLOP/s", milliseconds(device.sgemm.medianSeconds),
              device.sgemm.rate);
    if (!resident) {
        appendRow(text, "Download median", "%10.3f ms  %12.2f GB/s", milliseconds(device.download.medianSeconds),
                  device.download.rate);
    }
    const VerificationSummary& verification = device.verification;
    if (verification.firstError.referenceNormIsZero) {
        appendRow(text, "Relative L2 error", "none (the reference norm is 0)");
    } else {
        appendRow(text, "Relative L2 error", "%.6e (threshold %.3g)",
                  static_cast<double>(verification.firstError.ratio), static_cast<double>(verification.threshold));
    }
    if (verification.yardstickIteration > 1) {
        appendRow(text, "Yardstick", "the product of iteration %ld, the first to pass the reference check",
                  verification.yardstickIteration);
    }
    appendRow(text, "Products verified", "%ld, %ld wrong", verification.verifiedProducts, verification.mismatchCount);
    for (const Mismatch& mismatch : verification.mismatches) {
        if (mismatch.againstReference) {
            appendRow(text, "  wrong product", "iteration %ld: relative L2 error %.6e against the host reference",
                      mismatch.iteration, static_cast<double>(mismatch.relativeError));
        } else if (mismatch.deviceCheckOnly) {
            appendRow(text, "  wrong product",
                      "iteration %ld: the device's comparison found a difference the downloaded product does not have",
                      mismatch.iteration);
        } else {
            appendRow(text, "  wrong product", "iteration %ld: %ld %s, largest difference %g", mismatch.iteration,
                      mismatch.differingElements,
                      mismatch.differingElements == 1 ? "element differs" : "elements differ",
                      mismatch.largestDifference);
        }
    }
    if (verification.mismatchCount > static_cast<long>(verification.mismatches.size())) {
        appendRow(text, "  wrong product", "... and %ld more",
                  verification.mismatchCount - static_cast<long>(verification.mismatches.size()));
    }
    appendSeries(text, report, device);
    appendHealth(text, device);
    append(text, resident ? "SGEMM times (ms):\n" : "Iteration times (ms):\n");
    *text += histogramBars(device.histogram, kHistogramBarWidth);
}

void appendNode(std::string* text, const BenchReport& report) {
    const NodeSummary& node = report.node;
    *text += "\n";
    appendRow(text, "Devices", "%d: %d passed, %d failed the check, %d failed to run", node.devices, node.passed,
              node.failedChecks, node.failedDevices);
    if (node.failedHealth > 0) {
        appendRow(text, "Health", "%d failed a health verdict or the expectation of their model", node.failedHealth);
    }
    appendRow(text, "Mismatches", "%ld", node.mismatches);
    std::string outliers;
    for (const int index : node.outliers) {
        outliers +=
            (outliers.empty() ? (node.outliers.size() == 1 ? "device " : "devices ") : ", ") + std::to_string(index);
    }
    appendRow(text, "Outliers", "%s (%s more than %.0f%% below the median of their peers)",
              outliers.empty() ? "none" : outliers.c_str(),
              isResident(report) ? "SGEMM GFLOP/s" : "round trips per second", report.options.outlierMargin * 100.0);
    if (node.missingDevices) {
        appendRow(text, "Missing devices", "%d expected, the runtime sees %d", node.expectedDevices,
                  node.visibleDevices);
    }
    if (report.interruption.signal != 0) {
        char name[32];
        appendRow(text, "Interrupted", "by %s %.1f s into the run; the figures cover the round trips done",
                  signalName(report.interruption.signal, name, sizeof name), report.interruption.afterSeconds);
    }
    appendRow(text, "Verdict", "%s", node.allPassed ? "PASSED" : "FAILED");
}

}  // namespace

std::string reportTable(const BenchReport& report) {
    std::string text;
    appendRun(&text, report);
    appendDeviceRows(&text, report);
    for (const DeviceReport& device : report.devices) {
        appendDeviceDetails(&text, report, device);
    }
    appendNode(&text, report);
    return text;
}

}  // namespace bench
