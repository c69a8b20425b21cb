// kavrel-fleet's run sequence: options, inputs, reports, analysis and the report on standard output.
#pragma once

#include <iosfwd>

// Exit statuses of kavrel-fleet.
constexpr int kFleetHealthy = 0;    // every GPU passed and none is an outlier
constexpr int kFleetUnhealthy = 1;  // some GPU failed, is in error or is an outlier
constexpr int kFleetBadInput = 2;   // bad usage, or a report that cannot be used

// Runs kavrel-fleet with argv, reading standard input from in. Writes the report to out only when every input
// was usable; otherwise writes one line "kavrel-fleet: <source>: <problem>" per unusable input to err (a node
// name reported by two inputs is a problem of the second) and nothing to out. Returns the exit status.
int runFleet(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);
