// kavrel-fleet from command line to exit status: every problem is collected and named before anything is printed.
#include "fleet/runFleet.h"

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/fleetAnalysis.h"
#include "fleet/fleetInputs.h"
#include "fleet/fleetOptions.h"
#include "fleet/fleetOutput.h"
#include "fleet/fleetReport.h"

int runFleet(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
    FleetOptions options;
    switch (parseFleetOptions(argc, argv, out, err, &options)) {
        case FleetParse::answered:
            return kFleetHealthy;
        case FleetParse::usageError:
            return kFleetBadInput;
        case FleetParse::run:
            break;
    }

    std::vector<std::string> problems;
    std::vector<NodeReport> reports;
    std::map<std::string, std::string> sourceOfNode;
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
        const auto [known, inserted] = sourceOfNode.emplace(parsed.report->node, document.source);
        if (!inserted) {
            problems.push_back(document.source + ": node \"" + parsed.report->node + "\" is also reported by " +
                               known->second);
            continue;
        }
        reports.push_back(*parsed.report);
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            err << "kavrel-fleet: " << problem << "\n";
        }
        return kFleetBadInput;
    }

    const Fleet fleet = analyseFleet(reports, options.settings);
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
    return fleet.totals.healthy ? kFleetHealthy : kFleetUnhealthy;
}
