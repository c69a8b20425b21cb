// kavrel-fleet's run sequence: options, inputs, reports, analysis and the report on standard output.
#pragma once

#include <iosfwd>

namespace fleet {

// Runs kavrel-fleet with argv, reading standard input from in. Writes the report to out only when every input
// was usable; otherwise writes one line "kavrel-fleet: <source>: <problem>" per unusable input to err (a node
// name reported by two inputs is a problem of the second) and nothing to out. Writes each warning to err as
// "kavrel-fleet: warning: ...". A report that out does not take whole is a failure, named on err. Returns one of the
// statuses of fleet/exitStatus.h.
int runFleet(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace fleet
