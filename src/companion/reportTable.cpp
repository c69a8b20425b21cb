// Formatting of the report table with fixed-width labels.
#include "companion/reportTable.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;

// Appends one row: the label padded to a fixed column, then the printf-formatted value and a line break.
void appendRow(std::string* table, const char* label, const char* format, ...) {
    char value[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(value, sizeof value, format, arguments);
    va_end(arguments);
    char row[600];
    std::snprintf(row, sizeof row, "%-20s%s\n", label, value);
    *table += row;
}

void appendPhaseRow(std::string* table, const char* label, const SampleSummary& phase, double amount,
                    const char* unit) {
    appendRow(table, label, "%10.3f ms  %12.2f %s", phase.median * kMillisecondsPerSecond,
              billionsPerSecond(amount, phase.median), unit);
}

}  // namespace

std::string reportTable(const BenchReport& report) {
    const TimingFigures& timing = report.timing;
    std::string table;
    appendRow(&table, "Device", "%d: %s (compute capability %d.%d)", firstDevice(report.options), report.device.name,
              report.device.major, report.device.minor);
    appendRow(&table, "cuBLAS version", "%d", report.libraryVersion);
    appendRow(&table, "Round trips", "%d timed, %d warm-up%s", report.options.iterations, report.options.warmup,
              timing.phases ? ", phases synchronised" : "");
    appendRow(&table, "Total loop time", "%.6f s", timing.totalSeconds);
    appendRow(&table, "Iteration median", "%10.3f ms", timing.iteration.median * kMillisecondsPerSecond);
    appendRow(&table, "Iteration min", "%10.3f ms", timing.iteration.minimum * kMillisecondsPerSecond);
    appendRow(&table, "Iteration max", "%10.3f ms", timing.iteration.maximum * kMillisecondsPerSecond);
    if (timing.phases) {
        appendPhaseRow(&table, "Upload median", timing.upload, kUploadBytes, "GB/s");
        appendPhaseRow(&table, "SGEMM median", timing.sgemm, kSgemmFlops, "GFLOP/s");
        appendPhaseRow(&table, "Download median", timing.download, kDownloadBytes, "GB/s");
    }
    if (report.error.referenceNormIsZero) {
        appendRow(&table, "Relative L2 error", "none (the reference norm is 0)");
    } else {
        appendRow(&table, "Relative L2 error", "%.6e (threshold %.0e)", static_cast<double>(report.error.ratio),
                  static_cast<double>(kPassThreshold));
    }
    appendRow(&table, "Verdict", "%s", report.passed ? "PASSED" : "FAILED");
    return table;
}
