// kavrel-fleet from command line to exit status: every problem is collected and named before anything is printed.
#include "fleet/runFleet.h"

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fleet/exitStatus.h"
#include "fleet/fleetAnalysis.h"
#include "fleet/fleetInputs.h"
#include "fleet/fleetOptions.h"
#include "fleet/fleetOutput.h"
#include "fleet/fleetReport.h"

namespace fleet {

int runFleet(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
    FleetOptions options;
    switch (parseFleetOptions(argc, argv, out, err, &options)) {
        case FleetParse::answered:
            return kExitHealthy;
        case FleetParse::usageError:
            return kExitBadInput;
        case FleetParse::run:
            break;
    }

    std::vector<std::string> problems;
    std::vector<NodeReport> reports;
    // One report per node and workload: a node qualified by both workloads reports twice.
    std::map<std::pair<std::string, bool>, std::string> sourceOfNode;
    for (const InputDocument& document : gatherInputs(options.inputs, in)) {
        if (!document.problem.empty()) {
            problems.push_back(document.source + ": " + document.problem);
            continue;
        }
        ReportParse parsed = parseNodeReport(document.text, document.source);
        if (!parsed.report) {
            problems.push_back(document.source + ": " + parsed.problem);
            continue;
        }
        const auto [known, inserted] =
            sourceOfNode.emplace(std::make_pair(parsed.report->node, parsed.report->resident), document.source);
        if (!inserted) {
            problems.push_back(document.source + ": node \"" + parsed.report->node + "\" is also reported by " +
                               known->second + (parsed.report->resident ? " for the resident workload" : ""));
            continue;
        }
        reports.push_back(*parsed.report);
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            err << "kavrel-fleet: " << printableText(problem) << "\n";
        }
        return kExitBadInput;
    }

    const Fleet fleet = analyseFleet(reports, options.settings);
    for (const std::string& warning : fleet.warnings) {
        err << "kavrel-fleet: warning: " << printableText(warning) << "\n";
    }
    switch (options.format) {
        case FleetFormat::table:
            out << fleetTable(fleet);
            break;
        case FleetFormat::json:
            out << fleetJson(fleet);
            break;
        case FleetFormat::problems:
            out << fleetProblems(fleet);
            break;
    }
    out.flush();
    // A full disk, a closed standard output or a reader that has gone must not pass for a report written whole.
    if (!out) {
        err << "kavrel-fleet: the report could not be written to standard output\n";
        return kExitOutputFailed;
    }
    return fleet.totals.healthy ? kExitHealthy : kExitUnhealthy;
}

}  // namespace fleet
