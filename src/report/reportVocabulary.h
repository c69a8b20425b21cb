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
constexpr const char* schema = "schema";
constexpr const char* program = "program";
constexpr const char* host = "host";
constexpr const char* name = "name";  // host.name, devices[].name
constexpr const char* devices = "devices";
constexpr const char* index = "index";
constexpr const char* uuid = "uuid";
constexpr const char* status = "status";
constexpr const char* error = "error";
constexpr const char* message = "message";         // error.message
constexpr const char* call = "call";               // error.call
constexpr const char* statusCode = "status_code";  // error.status_code
constexpr const char* statusName = "status_name";  // error.status_name
constexpr const char* roundTripsPerSecond = "round_trips_per_second";
constexpr const char* check = "check";
constexpr const char* mismatchCount = "mismatch_count";
constexpr const char* passed = "passed";  // check.passed
constexpr const char* verdict = "verdict";
constexpr const char* timing = "timing";
constexpr const char* sgemm = "sgemm";
constexpr const char* upload = "upload";
constexpr const char* download = "download";
constexpr const char* gflopPerSecond = "gflop_per_second";
constexpr const char* gbPerSecond = "gb_per_second";
constexpr const char* node = "node";
constexpr const char* health = "health";  // devices[].health
constexpr const char* workload = "workload";
constexpr const char* matrixOrder = "matrix_order";
}  // namespace key

}  // namespace report
