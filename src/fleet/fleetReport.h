// What kavrel-fleet reads from one kavrel-bench report: the node's name, its state, and each GPU's outcome and figures.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fleet {

// How one GPU's run ended, as kavrel-bench's "status" field says.
enum class GpuStatus {
    passed,  // the run completed and every verified product was right
    failed,  // the run completed and some product was wrong
    error,   // a GPU library call failed or hung; the run on this GPU ended there and has no figures
};

// Why a GPU's run ended in an error, as kavrel-bench's "error" object says.
struct GpuError {
    std::string message;                   // one line, "kernel execution error."; may be empty
    std::string call;                      // the failing library call; empty when none is named
    std::optional<long long> statusCode;   // what it returned; empty when it did not return or none is named
    std::string statusName;                // the library's name for it; empty when none is named
    std::optional<double> stalledSeconds;  // the call never returned: how long it had run when the GPU was given up on
};

// What a GPU's management readings showed, as kavrel-bench's "health" object gives it; each figure may be missing.
struct GpuHealth {
    bool read = false;                            // the report has readings for the GPU
    bool passed = true;                           // health.passed
    std::vector<std::string> problems;            // the failed verdicts' details and the expectation's shortfalls
    std::optional<double> maxTemperatureCelsius;  // the hottest sample
    std::optional<int> linkGenerationUnderLoad;   // the lowest link under load
    std::optional<int> linkWidthUnderLoad;
    std::optional<int> maxLinkGeneration;
    std::optional<int> maxLinkWidth;
    std::optional<double> hardwareThrottleShare;  // the largest share of samples with a hardware slowdown reason
    std::optional<double> softwareThrottleShare;  // the largest share with software power or thermal capping
    std::optional<long long> newEccUncorrected;   // uncorrected ECC errors that came during the run
    long long xids = 0;
};

// One GPU of one node, with the figures kavrel-fleet prints and compares. A figure is empty when the report has
// none (a GPU whose run ended in an error, or a phase that was not timed).
struct GpuRecord {
    int index = 0;                    // the CUDA device index on its node
    std::optional<std::string> name;  // the device name, empty when the GPU could not be described; GPUs of the same
                                      // name are compared with each other
    std::optional<std::string> uuid;  // empty when the report has null
    GpuStatus status = GpuStatus::passed;
    GpuError error;                             // for status error
    std::optional<long long> mismatches;        // products that were wrong; empty for an error
    bool productsRight = true;                  // check.passed (or, without it, no wrong product)
    std::optional<double> sgemmGflops;          // SGEMM GFLOP/s
    std::optional<double> uploadGbps;           // upload GB/s
    std::optional<double> downloadGbps;         // download GB/s
    std::optional<double> roundTripsPerSecond;  // round trips per second of the timed loop; empty for resident
    GpuHealth health;
    bool resident = false;           // its report ran the resident workload, judged by SGEMM GFLOP/s
    std::optional<int> matrixOrder;  // its report's matrix order, when given
};

// One node's report: the node's name, where the report came from, how the node's run went, and its GPUs in the
// report's order.
struct NodeReport {
    std::string node;       // host.name
    std::string source;     // the file name the report was read from, or "<stdin>"
    bool resident = false;  // the run was of the resident workload
    std::vector<GpuRecord> gpus;
    std::optional<int> expectedDevices;  // node.expected_devices, when given
    std::optional<int> visibleDevices;   // node.visible_devices, when given
    bool missingDevices = false;         // node.missing_devices: fewer GPUs visible than expected
    std::string interruptedBy;           // the signal that interrupted the run ("SIGTERM"); empty when none did
};

// The outcome of reading one report: the report, or why it cannot be used.
struct ReportParse {
    std::optional<NodeReport> report;
    std::string problem;  // one line without the source's name, set exactly when report is empty
};

// Reads one kavrel-bench JSON document (schema report::kSchema) taken from source. Requires schema, program
// "kavrel-bench", host.name, and a non-empty devices array whose every entry has index, name (string or null),
// uuid (string or null) and status ("passed", "failed" or "error"); an "error" entry needs an error object with a
// message (string or null), every other entry round_trips_per_second (null for a report whose workload is
// "resident", which needs timing.sgemm.gflop_per_second instead) and check.mismatch_count. The report's workload
// ("round-trip" when absent) and matrix_order, when present, are read too. The timing figures
// (sgemm, upload, download) may be null or absent. Two entries with the same index, or fields that contradict each
// other (a passed device with wrong products or a failed check, a check's verdict against its passed flag, a node
// verdict PASSED beside a device that did not pass, a device passed whose health did not), make the report unusable.
// A device's health object, when there is one, is read too. Never throws.
ReportParse parseNodeReport(const std::string& text, const std::string& source);

// The word kavrel-bench writes for status: "passed", "failed" or "error".
const char* statusWord(GpuStatus status);

// The error as one line: its message, then the call and the status's name when the call returned one:
// "kernel execution error. (cublasSgemm_v2: CUBLAS_STATUS_EXECUTION_FAILED)". Empty when the report gave nothing.
std::string errorText(const GpuError& error);

// The GPU's name, or "(unknown)" when the report has none.
std::string gpuName(const GpuRecord& gpu);

}  // namespace fleet
