// The command line of kavrel-fleet: its report form, outlier settings and inputs.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "fleet/fleetAnalysis.h"

namespace fleet {

// The form of the report on standard output.
enum class FleetFormat { table, json, problems };

// What one run of kavrel-fleet does.
struct FleetOptions {
    FleetFormat format = FleetFormat::table;
    FleetSettings settings;
    std::vector<std::string> inputs;  // files, folders and "-" (standard input) in the order given; {"-"} when none
};

// How parsing ended: options to run with, a request fully answered (--help, --version), or a usage error.
enum class FleetParse { run, answered, usageError };

// Parses argv[1..argc-1]; argv[0] names the program in the help. --help and --version write their text to out and
// answer the request. A bad option or value, or "-" given twice, writes one line naming it and the usage hint to
// err. "--" ends the options; every other argument not starting with "--" is an input. --expect-nodes takes node
// names separated by commas or white space, or @FILE for a file of them.
FleetParse parseFleetOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                             FleetOptions* options);

// The node names in text, separated by commas or white space, empty names dropped.
std::vector<std::string> nodeNamesIn(const std::string& text);

}  // namespace fleet
