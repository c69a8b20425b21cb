// The machine-readable form of kavrel-bench's report: one JSON document.
#pragma once

#include <string>

#include "companion/benchReport.h"

// Version of the document's layout; it changes whenever a field is renamed, removed or changes meaning.
constexpr int kReportSchema = 1;

// The report as one JSON object, indented, ending with a line break. Times are in seconds, rates in GB/s
// (1e9 bytes) and GFLOP/s; the relative error is null when it is NaN or the reference norm is 0. The README
// section "kavrel-bench" lists every field.
std::string reportJson(const BenchReport& report);
