// Parsing kavrel-fleet's command line by hand: it has few options and must link nothing but nlohmann-json.
#include "fleet/fleetOptions.h"

#include <cstdlib>
#include <ostream>

namespace {

const char* const kUsageHint = "Run with --help for more information.\n";

const char* const kHelp =
    "Usage: kavrel-fleet [OPTIONS] [REPORT|FOLDER|-]...\n"
    "\n"
    "Merges kavrel-bench JSON reports (schema 2), one per node, into one fleet report: every GPU's outcome\n"
    "and figures, and the GPUs that are slow compared with every GPU of the same name. A FOLDER stands for\n"
    "every *.json file in it, by name; - or no argument reads one report from standard input.\n"
    "\n"
    "Options:\n"
    "  --json                  write the fleet report as one JSON document instead of the table\n"
    "  --problems              write only the problems, one line each: failed GPUs, GPUs in error, outliers\n"
    "  --outlier-margin M      how far below its peers' median a GPU's figure may fall, as a fraction (0.1)\n"
    "                          or a percentage (10%), below 100%; default 10%\n"
    "  --sgemm-outliers        also judge SGEMM GFLOP/s, besides round trips per second\n"
    "  --help                  print this help and exit\n"
    "  --version               print the version and exit\n"
    "\n"
    "A GPU is an outlier when its figure is below the median of its peers by more than\n"
    "max(margin x median, 3 x 1.4826 x MAD); groups of fewer than 3 GPUs are not judged.\n"
    "\n"
    "Exit status: 0 every GPU passed and none is an outlier; 1 some GPU failed, is in error or is an\n"
    "outlier; 2 bad usage or a report that cannot be used (each named on standard error, nothing on\n"
    "standard output).\n";

bool usageError(std::ostream& err, const std::string& message) {
    err << "kavrel-fleet: " << message << "\n" << kUsageHint;
    return false;
}

// Handles one option (argument starts with "--"), reading its value from the next argument or after "=".
// Returns false after a usage error; sets answered after --help or --version.
bool applyOption(const std::string& argument, int argc, const char* const* argv, int* position, std::ostream& out,
                 std::ostream& err, FleetOptions* options, bool* answered) {
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (name == "--help" || name == "--version") {
        if (equals != std::string::npos) {
            return usageError(err, name + " takes no value");
        }
        out << (name == "--help" ? std::string(kHelp) : std::string("kavrel-fleet ") + KAVREL_FLEET_VERSION + "\n");
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
    if (name == "--outlier-margin") {
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (*position + 1 < argc) {
            value = argv[++*position];
        } else {
            return usageError(err, "--outlier-margin needs a value");
        }
        if (!parseOutlierMargin(value, &options->settings.outlierMargin)) {
            return usageError(err, "--outlier-margin: \"" + value + "\" is not a fraction or percentage below 100%");
        }
        return true;
    }
    return usageError(err, "unknown option " + name);
}

}  // namespace

bool parseOutlierMargin(const std::string& text, double* fraction) {
    std::string number = text;
    const bool isPercentage = !number.empty() && number.back() == '%';
    if (isPercentage) {
        number.pop_back();
    }
    int digits = 0;
    int points = 0;
    for (const char character : number) {
        if (character >= '0' && character <= '9') {
            ++digits;
        } else if (character == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1) {
        return false;
    }
    const double value = std::strtod(number.c_str(), nullptr) / (isPercentage ? 100.0 : 1.0);
    if (!(value >= 0.0 && value < 1.0)) {
        return false;
    }
    *fraction = value;
    return true;
}

FleetParse parseFleetOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                             FleetOptions* options) {
    *options = FleetOptions{};
    bool optionsEnded = false;
    for (int position = 1; position < argc; ++position) {
        const std::string argument = argv[position];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.rfind("--", 0) == 0) {
            bool answered = false;
            if (!applyOption(argument, argc, argv, &position, out, err, options, &answered)) {
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
