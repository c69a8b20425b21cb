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
    append(text, "Iteration times (ms):\n");
    *text += histogramBars(device.histogram, kHistogramBarWidth);
}

void appendNode(std::string* text, const BenchReport& report) {
    const NodeSummary& node = report.node;
    *text += "\n";
    appendRow(text, "Devices", "%d: %d passed, %d failed the check, %d failed to run", node.devices, node.passed,
              node.failedChecks, node.failedDevices);
    appendRow(text, "Mismatches", "%ld", node.mismatches);
    std::string outliers;
    for (const int index : node.outliers) {
        outliers += (outliers.empty() ? "" : ", ") + std::to_string(index);
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
