// Parsing kavrel-fleet's command line by hand: it has few options and must link nothing but nlohmann-json.
#include "fleet/fleetOptions.h"

#include <fstream>
#include <ostream>
#include <sstream>

#include "common/platform.h"
#include "report/expectations.h"
#include "report/reportVocabulary.h"

namespace fleet {

namespace {

const char* const kUsageHint = "Run with --help for more information.\n";

// The help, for the program name given.
std::string helpText(const std::string& program) {
    return "Usage: " + program +
           " [OPTIONS] [REPORT|FOLDER|-]...\n"
           "\n"
           "Merges kavrel-bench JSON reports (schema " +
           std::to_string(report::kSchema) +
           "), one per node, into one fleet report: every GPU's outcome and\n"
           "figures, and the GPUs that are slow compared with every GPU of the same name. A FOLDER stands for\n"
           "every *.json file in it, by name; - or no argument reads one report from standard input.\n"
           "\n"
           "Options:\n"
           "  --json                  write the fleet report as one JSON document instead of the table\n"
           "  --problems              write only the problems, one line each: failed GPUs, GPUs in error, outliers,\n"
           "                          nodes with missing GPUs, interrupted runs or no report\n"
           "  --outlier-margin M      how far below its peers' median a GPU's figure may fall, as a fraction (0.1)\n"
           "                          or a percentage (10%), below 100%; default 10%\n"
           "  --sgemm-outliers        also judge SGEMM GFLOP/s, besides round trips per second\n"
           "  --expect-nodes NODES    nodes that must have reported, separated by commas or spaces, or @FILE for\n"
           "                          a file of them; each missing one is a problem\n"
           "  --expect FILE           what each GPU model must reach (the file kavrel-bench --expect takes); a GPU\n"
           "                          below its model's expectation is a problem\n"
           "  --help                  print this help and exit\n"
           "  --version               print the version and exit\n"
           "\n"
           "A GPU is an outlier when its figure is below the median of its peers by more than\n"
           "max(margin x median, 3 x 1.4826 x MAD); groups of fewer than 3 GPUs are not judged.\n"
           "\n"
           "Exit status: 0 every GPU passed, none is an outlier and no node has a problem; 1 some GPU failed, is in\n"
           "error or is an outlier, or some node has a problem; 2 bad usage or a report that cannot be used (each\n"
           "named on standard error, nothing on standard output); 4 the report could not be written.\n";
}

bool usageError(std::ostream& err, const std::string& message) {
    err << "kavrel-fleet: " << message << "\n" << kUsageHint;
    return false;
}

// Handles one option (argument starts with "--"), reading its value from the next argument or after "=".
// Returns false after a usage error; sets answered after --help or --version.
bool applyOption(const std::string& program, const std::string& argument, int argc, const char* const* argv,
                 int* position, std::ostream& out, std::ostream& err, FleetOptions* options, bool* answered) {
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (name == "--help" || name == "--version") {
        if (equals != std::string::npos) {
            return usageError(err, name + " takes no value");
        }
        out << (name == "--help" ? helpText(program) : std::string("kavrel-fleet ") + KAVREL_FLEET_VERSION + "\n");
        *answered = true;
        return true;
    }
    if (name == "--json" || name == "--problems" || name == "--sgemm-outliers") {
        if (equals != std::string::npos) {
            return usageError(err, name + " takes no value");
        }
        if (name == "--sgemm-outliers") {
            options->settings.compareSgemm = true;
        } else {
            options->format = name == "--json" ? FleetFormat::json : FleetFormat::problems;
        }
        return true;
    }
    if (name == "--outlier-margin" || name == "--expect-nodes" || name == "--expect") {
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (*position + 1 < argc) {
            value = argv[++*position];
        } else {
            return usageError(err, name + " needs a value");
        }
        if (name == "--outlier-margin") {
            if (!report::parseOutlierMargin(value, &options->settings.outlierMargin)) {
                return usageError(err, "--outlier-margin: \"" + value + "\" " + report::kOutlierMarginForm);
            }
            return true;
        }
        if (name == "--expect") {
            report::ExpectationFile file = report::readExpectations(value);
            if (!file.problem.empty()) {
                return usageError(err, "--expect: " + value + ": " + file.problem);
            }
            options->settings.expectations = std::move(file.expectations);
            return true;
        }
        if (!value.empty() && value[0] == '@') {
            std::ifstream file(value.substr(1));
            std::ostringstream names;
            names << file.rdbuf();
            if (!file) {
                return usageError(err, "--expect-nodes: " + value.substr(1) + " cannot be read");
            }
            value = names.str();
        }
        const std::vector<std::string> names = nodeNamesIn(value);
        options->settings.expectedNodes.insert(options->settings.expectedNodes.end(), names.begin(), names.end());
        return true;
    }
    return usageError(err, "unknown option " + name);
}

}  // namespace

std::vector<std::string> nodeNamesIn(const std::string& text) {
    std::vector<std::string> names;
    std::string name;
    for (const char character : text + ",") {
        if (character == ',' || character == ' ' || character == '\t' || character == '\n' || character == '\r') {
            if (!name.empty()) {
                names.push_back(name);
            }
            name.clear();
        } else {
            name += character;
        }
    }
    return names;
}

FleetParse parseFleetOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                             FleetOptions* options) {
    *options = FleetOptions{};
    const std::string program = programNameOf(argc > 0 ? argv[0] : nullptr, "kavrel-fleet");
    bool optionsEnded = false;
    for (int position = 1; position < argc; ++position) {
        const std::string argument = argv[position];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.rfind("--", 0) == 0) {
            bool answered = false;
            if (!applyOption(program, argument, argc, argv, &position, out, err, options, &answered)) {
                return FleetParse::usageError;
            }
            if (answered) {
                return FleetParse::answered;
            }
        } else if (argument.empty()) {
            usageError(err, "an empty input name");
            return FleetParse::usageError;
        } else {
            options->inputs.push_back(argument);
        }
    }
    if (options->inputs.empty()) {
        options->inputs.emplace_back("-");
    }
    std::size_t standardInputs = 0;
    for (const std::string& input : options->inputs) {
        standardInputs += input == "-" ? 1 : 0;
    }
    if (standardInputs > 1) {
        usageError(err, "- (standard input) given more than once");
        return FleetParse::usageError;
    }
    return FleetParse::run;
}

}  // namespace fleet
