// The human-readable form of kavrel-bench's report: a short aligned table.
#pragma once

#include <string>

#include "companion/benchReport.h"

// The report as lines of "label  value": device, library version, run size, total loop seconds with six
// decimals, iteration times in milliseconds with three decimals, with phases each phase's median and rate, the
// relative error and the verdict. Ends with a line break.
std::string reportTable(const BenchReport& report);
