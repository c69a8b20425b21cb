// Parsing of kavrel-bench's command line with CLI11.
#include "companion/benchOptions.h"

#include <CLI/CLI.hpp>
#include <climits>
#include <ostream>
#include <string>

#include "common/matrix.h"

namespace {

// Adds an option taking a whole number from minimum to maximum, shown in the help as N with its default.
void addCountOption(CLI::App* app, const char* name, int* target, const std::string& description, int minimum,
                    int maximum) {
    // The whole-number check comes first, so that "x" or "1.5" is reported as what it is.
    app->add_option(name, *target, description)
        ->check(CLI::TypeValidator<int>(""))
        ->check(CLI::Range(minimum, maximum).description(""))
        ->type_name("N")
        ->capture_default_str();
}

}  // namespace

BenchOptions defaultBenchOptions() {
    return BenchOptions{kDeviceIterations, kDefaultWarmup, 0, false, false};
}

ParseOutcome parseBenchOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                               BenchOptions* options) {
    BenchOptions parsed = defaultBenchOptions();
    CLI::App app("Times SGEMM round trips on an NVIDIA GPU through cuBLAS and checks the product.", "kavrel-bench");
    app.set_version_flag("--version", std::string("kavrel-bench ") + KAVREL_BENCH_VERSION);
    addCountOption(&app, "--iterations", &parsed.iterations,
                   "Timed round trips of upload, SGEMM and download (1 to " + std::to_string(kMaxIterations) + ")", 1,
                   kMaxIterations);
    addCountOption(&app, "--warmup", &parsed.warmup, "Untimed round trips before the timed loop (0 or more)", 0,
                   INT_MAX);
    addCountOption(&app, "--device", &parsed.device, "CUDA device index (0 or more)", 0, INT_MAX);
    app.add_flag("--phases", parsed.phases, "Time upload, SGEMM and download apart, synchronising after each");
    app.add_flag("--json", parsed.json, "Write one JSON document instead of the table");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help and --version arrive here too, as errors whose exit code is 0.
        const int code = app.exit(error, out, err);
        return code == 0 ? ParseOutcome::answered : ParseOutcome::usageError;
    }
    *options = parsed;
    return ParseOutcome::run;
}
