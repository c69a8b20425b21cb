// Formatting of the report as aligned text: the run, a row per device, each device's details and the node.
#include "bench/reportTable.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

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

void appendRun(std::string* text, const BenchReport& report) {
    const BenchOptions& options = report.options;
    appendRow(text, "Node", "%s, run started %s", report.nodeName.c_str(), report.startTime.c_str());
    appendRow(text, "Matrix order", "%d", report.matrixOrder);
    if (options.durationSeconds > 0.0) {
        appendRow(text, "Round trips", "for %.0f s on each device, %d warm-up%s", options.durationSeconds,
                  options.warmup, options.phases ? ", phases synchronised" : "");
    } else {
        appendRow(text, "Round trips", "%d timed on each device, %d warm-up%s", options.iterations, options.warmup,
                  options.phases ? ", phases synchronised" : "");
    }
    appendRow(text, "NVML", "%s",
              report.nvml.loaded ? ("loaded, driver " +
                                    (report.nvml.driverVersion.empty() ? std::string("?") : report.nvml.driverVersion))
                                       .c_str()
                                 : report.nvml.problem.c_str());
    appendRow(text, "Products checked", "%s",
              options.checkFirstOnly ? "the first alone, against the host reference"
                                     : "every one: against the host reference until one passes, then bit for "
                                       "bit against that one");
}

void appendDeviceRows(std::string* text, const BenchReport& report) {
    append(text, "\n%-6s %-28s %11s %9s %9s %9s %9s %9s %10s %10s  %s\n", "Device", "Name", "Round trips", "p50 ms",
           "p99 ms", "max ms", "Up GB/s", "Down GB/s", "GFLOP/s", "Mismatches", "Verdict");
    for (const DeviceReport& device : report.devices) {
        if (device.failure) {
            append(text, "%-6d %-28.28s %11s %9s %9s %9s %9s %9s %10s %10s  %s\n", device.index, deviceName(device),
                   "-", "-", "-", "-", "-", "-", "-", "-", verdictWord(device));
            continue;
        }
        append(text, "%-6d %-28.28s %11ld %9.3f %9.3f %9.3f %9.2f %9.2f %10.1f %10ld  %s%s\n", device.index,
               deviceName(device), device.roundTrips, milliseconds(device.iteration.p50),
               milliseconds(device.iteration.p99), milliseconds(device.iteration.max), device.upload.rate,
               device.download.rate, device.sgemm.rate, device.verification.mismatchCount, verdictWord(device),
               device.outlier ? " (outlier)" : "");
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
                missing += (missing.empty() ? "" : ", ") + name + " (" + why + ")";
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

void appendDeviceDetails(std::string* text, const DeviceReport& device) {
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
    appendRow(text, "Loop wall time", "%.6f s, of which %.6f s in timed round trips", device.loopWallSeconds,
              device.timedSeconds);
    appendRow(text, "Iteration", "p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f  min %.3f ms%s",
              milliseconds(iteration.p50), milliseconds(iteration.p90), milliseconds(iteration.p99),
              milliseconds(iteration.p999), milliseconds(iteration.max), milliseconds(iteration.min),
              device.exactTimes ? "" : " (binned: within 0.1%)");
    appendRow(text, "Upload median", "%10.3f ms  %12.2f GB/s", milliseconds(device.upload.medianSeconds),
              device.upload.rate);
    appendRow(text, "SGEMM median", "%10.3f ms  %12.2f GFLOP/s", milliseconds(device.sgemm.medianSeconds),
              device.sgemm.rate);
    appendRow(text, "Download median", "%10.3f ms  %12.2f GB/s", milliseconds(device.download.medianSeconds),
              device.download.rate);
    const VerificationSummary& verification = device.verification;
    if (verification.firstError.referenceNormIsZero) {
        appendRow(text, "Relative L2 error", "none (the reference norm is 0)");
    } else {
        appendRow(text, "Relative L2 error", "%.6e (threshold %.0e)",
                  static_cast<double>(verification.firstError.ratio), static_cast<double>(kPassThreshold));
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
    appendHealth(text, device);
    append(text, "Iteration times (ms):\n");
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
    appendRow(text, "Outliers", "%s (more than %.0f%% below the median of their peers)",
              outliers.empty() ? "none" : outliers.c_str(), report.options.outlierMargin * 100.0);
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
        appendDeviceDetails(&text, device);
    }
    appendNode(&text, report);
    return text;
}

}  // namespace bench
