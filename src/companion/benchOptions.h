// The command line of kavrel-bench: its options, their defaults and their parsing.
#pragma once

#include <iosfwd>

// Most timed iterations one run accepts, so that the per-iteration timings stay a few hundred megabytes.
constexpr int kMaxIterations = 10000000;

// Default untimed round trips before the timed loop.
constexpr int kDefaultWarmup = 1;

// What one run of kavrel-bench does; the defaults are a run without options.
struct BenchOptions {
    int iterations;  // timed round trips, 1 to kMaxIterations; defaults to kavrel-test's loop length
    int warmup;      // untimed round trips before the timed loop, 0 or more
    int device;      // CUDA device index, 0 or more
    bool phases;     // time upload, SGEMM and download apart, synchronising the device after each
    bool json;       // one JSON document on standard output instead of the table
};

// The options of a run without any.
BenchOptions defaultBenchOptions();

// How parsing ended: options to run with, a request fully answered (--help, --version), or a usage error.
enum class ParseOutcome { run, answered, usageError };

// Parses argv[1..argc-1] into options. --help and --version write their text to out and answer the
// request; a bad option or value writes one line naming it and the usage hint to err. Calls no GPU library.
ParseOutcome parseBenchOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                               BenchOptions* options);
