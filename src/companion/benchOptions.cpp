// Parsing of kavrel-bench's command line with CLI11, and of the values its options take.
#include "companion/benchOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include "common/matrix.h"

namespace {

// Above every bound a value is checked against, so that saturating at it still fails the check.
constexpr long long kSaturatedValue = 1000000000000000LL;

// Reads text[begin, end) as decimal digits into value, saturating at kSaturatedValue; false when the range is
// empty or holds anything but the digits 0 to 9.
bool readDigits(const std::string& text, std::size_t begin, std::size_t end, long long* value) {
    if (begin >= end) {
        return false;
    }
    long long result = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        result = std::min(kSaturatedValue, result * 10 + (c - '0'));
    }
    *value = result;
    return true;
}

// The count text holds, from minimum to maximum; throws CLI::ValidationError naming the option otherwise. The
// out-of-range wording is CLI11's own, which kavrel-bench has always printed.
int countFrom(const std::string& option, const std::string& text, int minimum, int maximum) {
    long long value = 0;
    if (!readDigits(text, 0, text.size(), &value)) {
        throw CLI::ValidationError(option, "\"" + text + "\" is not a whole number in decimal digits");
    }
    if (value < minimum || value > maximum) {
        throw CLI::ValidationError(
            option, "Value " + text + " not in range " + std::to_string(minimum) + " to " + std::to_string(maximum));
    }
    return static_cast<int>(value);
}

// Sets the devices "all" or a comma-separated list of indices names; throws CLI::ValidationError naming --devices
// for an item that is empty or not decimal digits, or an index named twice.
void devicesFrom(const std::string& text, BenchOptions* options) {
    options->devices.clear();
    options->allDevices = text == "all";
    if (options->allDevices) {
        return;
    }
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = std::min(text.find(',', begin), text.size());
        options->devices.push_back(countFrom("--devices", text.substr(begin, comma - begin), 0, INT_MAX));
        if (comma == text.size()) {
            break;
        }
        begin = comma + 1;
    }
    std::sort(options->devices.begin(), options->devices.end());
    const auto repeated = std::adjacent_find(options->devices.begin(), options->devices.end());
    if (repeated != options->devices.end()) {
        throw CLI::ValidationError("--devices", "device " + std::to_string(*repeated) + " is named twice");
    }
}

// Adds an option whose value the callback reads, shown in the help as typeName with its default.
CLI::Option* addValueOption(CLI::App* app, const char* name, const std::string& description, const char* typeName,
                            const std::string& defaultText, const std::function<void(const std::string&)>& read) {
    return app->add_option_function<std::string>(name, read, description)
        ->type_name(typeName)
        ->default_str(defaultText);
}

// Adds an option taking a decimal count from minimum to maximum into target, shown in the help as N.
CLI::Option* addCountOption(CLI::App* app, const char* name, int* target, const std::string& description, int minimum,
                            int maximum) {
    const std::string option = name;
    return addValueOption(app, name, description, "N", std::to_string(*target),
                          [=](const std::string& text) { *target = countFrom(option, text, minimum, maximum); });
}

// The first argument that asks for the help or the version, or null when none does.
const char* answeredRequest(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help" || argument == "--version") {
            return argv[i];
        }
    }
    return nullptr;
}

}  // namespace

BenchOptions defaultBenchOptions() {
    BenchOptions options{};
    options.iterations = kDeviceIterations;
    options.durationSeconds = 0.0;
    options.warmup = kDefaultWarmup;
    options.allDevices = false;
    options.devices = {0};
    options.size = kMatrixOrder;
    options.phases = false;
    options.json = false;
    options.outlierMargin = kDefaultOutlierMargin;
    options.failOnOutlier = false;
    options.checkFirstOnly = false;
    return options;
}

bool parseDuration(const std::string& text, double* seconds) {
    double unitSeconds = 1.0;
    std::size_t digitsEnd = text.size();
    if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        unitSeconds = text.back() == 'h' ? 3600.0 : text.back() == 'm' ? 60.0 : 1.0;
        --digitsEnd;
    }
    long long count = 0;
    if (!readDigits(text, 0, digitsEnd, &count)) {
        return false;
    }
    const double length = static_cast<double>(count) * unitSeconds;
    if (length <= 0.0 || length > kMaxDurationSeconds) {
        return false;
    }
    *seconds = length;
    return true;
}

bool parseOutlierMargin(const std::string& text, double* fraction) {
    const bool percent = !text.empty() && text.back() == '%';
    const std::size_t numberEnd = percent ? text.size() - 1 : text.size();
    const std::size_t point = std::min(text.find('.'), numberEnd);
    long long ignored = 0;
    // Digits before the point (or none, as in ".5"), and after it when there is one: "1." and "." are refused.
    const bool wholeDigits = point == 0 || readDigits(text, 0, point, &ignored);
    const bool decimalDigits = point == numberEnd || readDigits(text, point + 1, numberEnd, &ignored);
    if (numberEnd == 0 || !wholeDigits || !decimalDigits) {
        return false;
    }
    const double value = std::strtod(text.substr(0, numberEnd).c_str(), nullptr) / (percent ? 100.0 : 1.0);
    if (!(value >= 0.0 && value < 1.0)) {
        return false;
    }
    *fraction = value;
    return true;
}

ParseOutcome parseBenchOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                               BenchOptions* options) {
    BenchOptions parsed = defaultBenchOptions();
    CLI::App app("Times SGEMM round trips on an NVIDIA GPU through cuBLAS and checks the product.", "kavrel-bench");
    const std::string version = std::string("kavrel-bench ") + KAVREL_BENCH_VERSION;
    app.set_version_flag("--version", version);

    CLI::Option* iterations =
        addCountOption(&app, "--iterations", &parsed.iterations,
                       "Timed round trips of upload, SGEMM and download (1 to " + std::to_string(kMaxIterations) + ")",
                       1, kMaxIterations);
    CLI::Option* duration = addValueOption(
        &app, "--duration",
        "Run round trips for this long instead of a fixed count: 90, 90s, 10m or 1h (at most 7 days)", "TIME", "",
        [&parsed](const std::string& text) {
            if (!parseDuration(text, &parsed.durationSeconds)) {
                throw CLI::ValidationError("--duration", text + " is not a length like 90, 90s, 10m or 1h up to 168h");
            }
        });
    duration->excludes(iterations);
    addCountOption(&app, "--warmup", &parsed.warmup, "Untimed round trips before the timed loop (0 or more)", 0,
                   INT_MAX);
    int device = 0;
    CLI::Option* deviceOption =
        addCountOption(&app, "--device", &device, "One CUDA device index (0 or more); --devices N", 0, INT_MAX);
    CLI::Option* devicesOption =
        addValueOption(&app, "--devices", "CUDA devices to run on at once: all, or indices like 0,2,3", "LIST", "0",
                       [&parsed](const std::string& text) { devicesFrom(text, &parsed); });
    deviceOption->excludes(devicesOption);
    addCountOption(&app, "--size", &parsed.size,
                   "Matrix order: rows and columns of A, B and C (1 to " + std::to_string(kMaxMatrixOrder) + ")", 1,
                   kMaxMatrixOrder);
    app.add_flag("--phases", parsed.phases, "Time upload, SGEMM and download apart, synchronising after each");
    app.add_flag("--json", parsed.json, "Write one JSON document instead of the table");
    addValueOption(&app, "--outlier-margin",
                   "How far below the median of the other devices a device's rate may fall before it is an outlier: "
                   "a fraction (0.1) or a percentage (10%), below 100%",
                   "MARGIN", "10%", [&parsed](const std::string& text) {
                       if (!parseOutlierMargin(text, &parsed.outlierMargin)) {
                           throw CLI::ValidationError("--outlier-margin",
                                                      text +
                                                          " is not a fraction like 0.1 or a percentage like 10%"
                                                          " below 100%");
                       }
                   });
    app.add_flag("--fail-on-outlier", parsed.failOnOutlier, "End with a failed status when any device is an outlier");
    app.add_flag("--check-first-only", parsed.checkFirstOnly,
                 "Check only the first product against the host reference, not every one (to measure what verifying "
                 "costs)");
    app.add_option("--node-name", parsed.nodeName, "The node's name in the report (the host's name by default)")
        ->type_name("NAME")
        ->check(
            [](const std::string& text) { return text.empty() ? std::string("the name is empty") : std::string(); });

    // Help and version answer whatever else the command line holds, so that a bad value cannot hide them.
    if (const char* request = answeredRequest(argc, argv)) {
        if (std::string(request) == "--version") {
            out << version << '\n';
        } else {
            out << app.help();
        }
        return ParseOutcome::answered;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error, out, err);
        return code == 0 ? ParseOutcome::answered : ParseOutcome::usageError;
    }
    if (deviceOption->count() > 0) {
        parsed.allDevices = false;
        parsed.devices = {device};
    }
    *options = parsed;
    return ParseOutcome::run;
}
