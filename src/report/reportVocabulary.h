// The words kavrel-bench's JSON report is written in and kavrel-fleet reads: its schema, keys and status words.
#pragma once

namespace report {

// Version of the node report's layout; it changes whenever a field is renamed, removed or changes meaning. Version 3
// gave errors their cause, counted a wrong first product among the wrong products, and added the run's interruption,
// the device health readings and the workload.
constexpr int kSchema = 3;

// The "program" of a node report.
constexpr const char* kBenchProgram = "kavrel-bench";

// A device's "status".
constexpr const char* kStatusPassed = "passed";  // completed, and every product and health verdict was right
constexpr const char* kStatusFailed = "failed";  // completed, and a product or a health verdict was wrong
constexpr const char* kStatusError = "error";    // a GPU library call failed or hung; the run on it ended there

// A verdict, for a device's check or the node.
constexpr const char* kVerdictPassed = "PASSED";
constexpr const char* kVerdictFailed = "FAILED";

// A report's "workload": what its timed loops ran, and so what its devices are compared by (round trips per
// second, or the SGEMM rate of the resident workload).
constexpr const char* kWorkloadRoundTrip = "round-trip";
constexpr const char* kWorkloadResident = "resident";

// The keys both programs use, by their place in the document.
namespace key {
constexpr const char* kSchema = "schema";
constexpr const char* kProgram = "program";
constexpr const char* kHost = "host";
constexpr const char* kName = "name";  // host.name, devices[].name
constexpr const char* kDevices = "devices";
constexpr const char* kIndex = "index";
constexpr const char* kUuid = "uuid";
constexpr const char* kStatus = "status";
constexpr const char* kError = "error";
constexpr const char* kMessage = "message";         // error.message
constexpr const char* kCall = "call";               // error.call
constexpr const char* kStatusCode = "status_code";  // error.status_code
constexpr const char* kStatusName = "status_name";  // error.status_name
constexpr const char* kRoundTripsPerSecond = "round_trips_per_second";
constexpr const char* kCheck = "check";
constexpr const char* kMismatchCount = "mismatch_count";
constexpr const char* kPassed = "passed";  // check.passed
constexpr const char* kVerdict = "verdict";
constexpr const char* kTiming = "timing";
constexpr const char* kSgemm = "sgemm";
constexpr const char* kUpload = "upload";
constexpr const char* kDownload = "download";
constexpr const char* kGflopPerSecond = "gflop_per_second";
constexpr const char* kGbPerSecond = "gb_per_second";
constexpr const char* kNode = "node";
constexpr const char* kHealth = "health";  // devices[].health
constexpr const char* kWorkload = "workload";
constexpr const char* kMatrixOrder = "matrix_order";
}  // namespace key

}  // namespace report
