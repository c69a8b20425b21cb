// The outlier margin both programs take on their command lines: its default and how it is written.
#pragma once

#include <string>

namespace report {

// Default fraction of the peers' median by which a figure may fall below that median without being an outlier.
constexpr double kDefaultOutlierMargin = 0.10;

// Reads an outlier margin written as a fraction ("0.1", ".1") or a percentage ("10%", "12.5%"): a decimal fraction
// as readDecimalFraction reads it ("1.", "." and "1e3" are refused) with an optional trailing %, nothing else. Sets
// fraction and returns true for a margin in [0, 1), that is below 100%; returns false and leaves fraction untouched
// otherwise.
bool parseOutlierMargin(const std::string& text, double* fraction);

// The text a usage error about a margin ends with, naming what is accepted.
constexpr const char* kOutlierMarginForm = "is not a fraction like 0.1 or a percentage like 10% below 100%";

}  // namespace report
