// Parsing of kavrel-bench's command line with CLI11, and of the values its options take.
#include "bench/benchOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "common/decimalText.h"
#include "common/matrix.h"
#include "common/platform.h"
#include "report/outlierMargin.h"
#include "report/reportVocabulary.h"

namespace bench {

namespace {

// The count text holds, from minimum to maximum; throws CLI::ValidationError naming the option otherwise. The
// out-of-range wording is CLI11's own, which kavrel-bench has always printed.
int countFrom(const std::string& option, const std::string& text, int minimum, int maximum) {
    std::uint64_t value = 0;
    const DecimalCount read = readDecimalCount(text, static_cast<std::uint64_t>(maximum), &value);
    if (read == DecimalCount::notDigits) {
        throw CLI::ValidationError(option, "\"" + text + "\" is not a whole number in decimal digits");
    }
    if (read == DecimalCount::aboveLimit || value < static_cast<std::uint64_t>(minimum)) {
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

const char* workloadName(Workload workload) {
    return workload == Workload::resident ? report::kWorkloadResident : report::kWorkloadRoundTrip;
}

const char* mathName(MathMode math) {
    return math == MathMode::tf32 ? "tf32" : "fp32";
}

BenchOptions defaultBenchOptions() {
    BenchOptions options{};
    options.workload = Workload::roundTrip;
    options.math = MathMode::fp32;
    options.intervalSeconds = kDefaultIntervalSeconds;
    options.iterations = kDeviceIterations;
    options.durationSeconds = 0.0;
    options.warmup = kDefaultWarmup;
    options.allDevices = false;
    options.devices = {0};
    options.size = kMatrixOrder;
    options.phases = false;
    options.json = false;
    options.outlierMargin = report::kDefaultOutlierMargin;
    options.failOnOutlier = false;
    options.checkFirstOnly = false;
    options.expectDevices = 0;
    options.sampleIntervalSeconds = kDefaultSampleIntervalSeconds;
    options.failOnThrottle = false;
    options.programName = "kavrel-bench";
    return options;
}

bool parseSampleInterval(const std::string& text, double* seconds) {
    std::string_view digits = text;
    double unitSeconds = 1.0;
    if (digits.size() > 2 && digits.substr(digits.size() - 2) == "ms") {
        unitSeconds = 1e-3;
        digits.remove_suffix(2);
    } else if (!digits.empty() && digits.back() == 's') {
        digits.remove_suffix(1);
    }
    std::uint64_t count = 0;
    if (readDecimalCount(digits, 3600000, &count) != DecimalCount::read) {
        return false;
    }
    const double interval = static_cast<double>(count) * unitSeconds;
    if (interval != 0.0 && (interval < 0.01 || interval > 3600.0)) {
        return false;
    }
    *seconds = interval;
    return true;
}

bool parseDuration(const std::string& text, double* seconds, bool allowZero) {
    double unitSeconds = 1.0;
    std::string_view digits = text;
    if (!digits.empty() && (digits.back() == 's' || digits.back() == 'm' || digits.back() == 'h')) {
        unitSeconds = digits.back() == 'h' ? 3600.0 : digits.back() == 'm' ? 60.0 : 1.0;
        digits.remove_suffix(1);
    }
    std::uint64_t count = 0;
    const auto limit = static_cast<std::uint64_t>(kMaxDurationSeconds);
    if (readDecimalCount(digits, limit, &count) != DecimalCount::read) {
        return false;
    }
    const double length = static_cast<double>(count) * unitSeconds;
    if ((length <= 0.0 && !allowZero) || length > kMaxDurationSeconds) {
        return false;
    }
    *seconds = length;
    return true;
}

ParseOutcome parseBenchOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                               BenchOptions* options) {
    BenchOptions parsed = defaultBenchOptions();
    parsed.programName = programNameOf(argc > 0 ? argv[0] : nullptr, "kavrel-bench");
    CLI::App app("Times SGEMM round trips on NVIDIA GPUs through cuBLAS and checks every product.", parsed.programName);
    const std::string version = std::string("kavrel-bench ") + KAVREL_BENCH_VERSION;
    app.set_version_flag("--version", version);

    addValueOption(&app, "--workload",
                   "What the timed loop runs: round-trip (upload, SGEMM and download, each product checked on the "
                   "host) or resident (operands uploaded once, SGEMMs back to back, each product checked on the "
                   "device by cuBLAS)",
                   "round-trip|resident", "round-trip", [&parsed](const std::string& text) {
                       if (text != "round-trip" && text != "resident") {
                           throw CLI::ValidationError("--workload", text + " is not round-trip or resident");
                       }
                       parsed.workload = text == "resident" ? Workload::resident : Workload::roundTrip;
                   });
    addValueOption(&app, "--math",
                   "The SGEMMs' arithmetic: fp32 (cuBLAS's default math, no tensor cores) or tf32 (TF32 tensor-op "
                   "math, checked against the host reference with a threshold for TF32 inputs)",
                   "fp32|tf32", "fp32", [&parsed](const std::string& text) {
                       if (text != "fp32" && text != "tf32") {
                           throw CLI::ValidationError("--math", text + " is not fp32 or tf32");
                       }
                       parsed.math = text == "tf32" ? MathMode::tf32 : MathMode::fp32;
                   });
    CLI::Option* iterations = addCountOption(
        &app, "--iterations", &parsed.iterations,
        "Timed round trips of upload, SGEMM and download, or timed products of the resident workload (1 to " +
            std::to_string(kMaxIterations) + ")",
        1, kMaxIterations);
    CLI::Option* duration = addValueOption(
        &app, "--duration",
        "Run round trips for this long instead of a fixed count, set-up and warm-up included: 90, 90s, 10m or 1h (at "
        "most 7 days)",
        "TIME", "", [&parsed](const std::string& text) {
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
    addCountOption(&app, "--expect-devices", &parsed.expectDevices,
                   "Fail the node when the runtime sees fewer devices than this (0: no expectation)", 0,
                   kMaxExpectedDevices);
    CLI::Option* sizeOption =
        addCountOption(&app, "--size", &parsed.size,
                       "Matrix order: rows and columns of A, B and C (1 to " + std::to_string(kMaxMatrixOrder) + "; " +
                           std::to_string(kDefaultResidentOrder) + " by default for the resident workload, at most " +
                           std::to_string(kMaxResidentOrder) + ")",
                       1, kMaxMatrixOrder);
    addValueOption(&app, "--interval",
                   "One step of the resident workload's rate series (products, GFLOP/s and NVML's readings per "
                   "step): 10, 10s, 1m",
                   "TIME", "10s", [&parsed](const std::string& text) {
                       if (!parseDuration(text, &parsed.intervalSeconds)) {
                           throw CLI::ValidationError("--interval", text + " is not a length like 10, 10s or 1m");
                       }
                   });
    app.add_flag("--phases", parsed.phases, "Time upload, SGEMM and download apart, synchronising after each");
    app.add_flag("--json", parsed.json, "Write one JSON document instead of the table");
    addValueOption(&app, "--outlier-margin",
                   "How far below the median of the other devices a device's rate may fall before it is an outlier: "
                   "a fraction (0.1) or a percentage (10%), below 100%",
                   "MARGIN", "10%", [&parsed](const std::string& text) {
                       if (!report::parseOutlierMargin(text, &parsed.outlierMargin)) {
                           throw CLI::ValidationError("--outlier-margin", text + " " + report::kOutlierMarginForm);
                       }
                   });
    app.add_flag("--fail-on-outlier", parsed.failOnOutlier, "End with a failed status when any device is an outlier");
    app.add_flag("--check-first-only", parsed.checkFirstOnly,
                 "Check only the first product against the host reference, not every one (to measure what verifying "
                 "costs)");
    addValueOption(&app, "--stall-timeout",
                   "A device stuck this long in one GPU library call is reported in error and left behind: 30, 30s, "
                   "2m; 0 never (default: 50 times its fastest round trip, from 10 s to 120 s)",
                   "TIME", "", [&parsed](const std::string& text) {
                       double seconds = 0.0;
                       if (!parseDuration(text, &seconds, true)) {
                           throw CLI::ValidationError("--stall-timeout",
                                                      text + " is not a length like 30, 30s or 2m up to 168h, or 0");
                       }
                       parsed.stallTimeoutSeconds = seconds;
                   });
    addValueOption(&app, "--sample-interval",
                   "How often NVML's readings (clocks, power, temperature, throttling, the PCIe link) are sampled "
                   "while the timed loops run: 100ms, 1s; 0 never",
                   "TIME", "1s", [&parsed](const std::string& text) {
                       if (!parseSampleInterval(text, &parsed.sampleIntervalSeconds)) {
                           throw CLI::ValidationError("--sample-interval",
                                                      text +
                                                          " is not an interval like 100ms or 1s, from 10ms to 1h, "
                                                          "or 0");
                       }
                   });
    app.add_flag("--fail-on-throttle", parsed.failOnThrottle,
                 "Fail a device whose clocks were capped by software (power or thermal) during the timed loop; "
                 "hardware slowdown always fails it");
    app.add_option("--expect", parsed.expectFile,
                   "A JSON file of what each GPU model must reach (GB/s, GFLOP/s, PCIe link, temperature); a device "
                   "below its model's expectation fails")
        ->type_name("FILE");
    app.add_option("--prometheus", parsed.prometheusFile,
                   "Also write the run's figures in Prometheus's text format to FILE (for node_exporter's textfile "
                   "collector, which reads *.prom files), whatever the verdict, replacing it atomically")
        ->type_name("FILE")
        ->check([](const std::string& text) {
            return text.empty() ? std::string("the file name is empty") : std::string();
        });
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
    if (parsed.workload == Workload::resident) {
        if (sizeOption->count() == 0) {
            parsed.size = kDefaultResidentOrder;
        }
        std::string problem;
        if (parsed.phases) {
            problem = "--phases: the resident workload has no upload or download to time apart";
        } else if (parsed.size > kMaxResidentOrder) {
            problem = "--size: the resident workload takes orders up to " + std::to_string(kMaxResidentOrder) +
                      ", whose n^2 elements an int counts";
        }
        if (!problem.empty()) {
            err << problem << "\nRun with --help for more information.\n";
            return ParseOutcome::usageError;
        }
    }
    *options = parsed;
    return ParseOutcome::run;
}

}  // namespace bench
