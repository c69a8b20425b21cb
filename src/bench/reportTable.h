// The human-readable form of kavrel-bench's report: aligned rows and a histogram per device.
#pragma once

#include <string>

#include "bench/benchReport.h"

namespace bench {

// The report as text: the run, one row per device, then for each device that completed its percentiles, phases,
// check, mismatches and histogram bars, then the node summary; the last line is "Verdict" and PASSED or FAILED.
// Times are in milliseconds with three decimals. Ends with a line break.
std::string reportTable(const BenchReport& report);

}  // namespace bench
