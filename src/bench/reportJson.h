// The machine-readable form of kavrel-bench's report: one JSON document.
#pragma once

#include <string>

#include "bench/benchReport.h"

namespace bench {

// The report as one JSON object, indented, ending with a line break: the run, one object per device and the node
// summary, in the layout report::kSchema names. Times are in seconds, rates in GB/s (1e9 bytes) and GFLOP/s; a figure
// that is NaN (a relative error or a difference involving a NaN) is null. The README section "kavrel-bench" lists every
// field.
std::string reportJson(const BenchReport& report);

}  // namespace bench
