// What kavrel-fleet reads from one kavrel-bench report: the node's name and each GPU's outcome and figures.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The report layout kavrel-fleet reads: kavrel-bench's "schema" field must hold exactly this value.
constexpr int kBenchReportSchema = 2;

// How one GPU's run ended, as kavrel-bench's "status" field says.
enum class GpuStatus {
    passed,  // the run completed and every verified product was right
    failed,  // the run completed and some product was wrong
    error,   // a GPU library call failed; the run on this GPU ended there and has no figures
};

// One GPU of one node, with the figures kavrel-fleet prints and compares. A figure is empty when the report has
// none (a GPU whose run ended in an error, or a phase that was not timed).
struct GpuRecord {
    int index = 0;                    // the CUDA device index on its node
    std::string name;                 // the device name; GPUs of the same name are compared with each other
    std::optional<std::string> uuid;  // empty when the report has null
    GpuStatus status = GpuStatus::passed;
    std::string error;                          // what went wrong, for status error; empty otherwise
    std::optional<long long> mismatches;        // products that differed from the reference; empty for an error
    std::optional<double> sgemmGflops;          // SGEMM GFLOP/s
    std::optional<double> uploadGbps;           // upload GB/s
    std::optional<double> downloadGbps;         // download GB/s
    std::optional<double> roundTripsPerSecond;  // round trips per second of the timed loop
};

// One node's report: the node's name, where the report came from, and its GPUs in the report's order.
struct NodeReport {
    std::string node;    // host.name
    std::string source;  // the file name the report was read from, or "<stdin>"
    std::vector<GpuRecord> gpus;
};

// The outcome of reading one report: the report, or why it cannot be used.
struct ReportParse {
    std::optional<NodeReport> report;
    std::string problem;  // one line without the source's name, set exactly when report is empty
};

// Reads one kavrel-bench JSON document (schema kBenchReportSchema) taken from source. Requires schema, program
// "kavrel-bench", host.name, and a non-empty devices array whose every entry has index, name, uuid (string or
// null) and status ("passed", "failed" or "error"); an "error" entry needs an error message (string or null),
// every other entry round_trips_per_second and check.mismatch_count. The timing figures (sgemm, upload,
// download) may be null or absent. Two entries with the same index make the report unusable. Never throws.
ReportParse parseNodeReport(const std::string& text, const std::string& source);

// The word kavrel-bench writes for status: "passed", "failed" or "error".
const char* statusWord(GpuStatus status);
