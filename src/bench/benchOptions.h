// The command line of kavrel-bench: its options, their defaults and their parsing.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Most timed iterations one run accepts.
constexpr int kMaxIterations = 10000000;

// Default untimed round trips before the timed loop.
constexpr int kDefaultWarmup = 1;

// Largest matrix order --size accepts; whether the matrices fit is checked later, against the device.
constexpr int kMaxMatrixOrder = 1000000;

// Longest soak --duration accepts: one week.
constexpr double kMaxDurationSeconds = 7 * 24 * 3600.0;

// Most devices --expect-devices names.
constexpr int kMaxExpectedDevices = 1024;

// What the timed loop runs: round trips of upload, SGEMM and download, or products of operands resident on the
// device, each checked there.
enum class Workload { roundTrip, resident };

// The arithmetic of the SGEMMs: cuBLAS's default single-precision math, or TF32 tensor-op math.
enum class MathMode { fp32, tf32 };

// The resident workload's matrix order unless --size says otherwise: large enough that an SGEMM fills a large GPU
// (1024 output tiles of 128 x 128 over about 132 streaming multiprocessors, eight waves, 137 GFLOP a product),
// small enough that the host reference takes seconds and the workload's buffers (A, B, the yardstick, a difference
// and a batch of eight products: 12 matrices of 64 MiB) under 1 GiB.
constexpr int kDefaultResidentOrder = 4096;

// Largest order the resident workload takes: its level-1 calls count the n^2 elements of a matrix in an int.
constexpr int kMaxResidentOrder = 46340;

// Default length of an interval of the resident workload's rate series.
constexpr double kDefaultIntervalSeconds = 10.0;

// What one run of kavrel-bench does; the defaults are a run without options.
struct BenchOptions {
    Workload workload;         // round trips by default
    MathMode math;             // fp32 by default
    double intervalSeconds;    // one interval of the rate series of the resident workload
    int iterations;            // timed round trips when durationSeconds is 0, 1 to kMaxIterations; kavrel-test's loop
                               // length by default
    double durationSeconds;    // 0: run iterations round trips; above 0: the whole run's length, set-up included
    int warmup;                // untimed round trips before the timed loop, 0 or more
    bool allDevices;           // --devices all: every device the runtime reports
    std::vector<int> devices;  // CUDA device indices, ascending without duplicates; {0} by default, empty with
                               // allDevices
    int size;                  // matrix order, 1 to kMaxMatrixOrder (kMaxResidentOrder for the resident workload);
                               // kavrel-test's order by default, kDefaultResidentOrder for the resident workload
    bool phases;               // time upload, SGEMM and download apart, synchronising the device after each (round
                               // trips only)
    bool json;                 // one JSON document on standard output instead of the table
    double outlierMargin;      // a fraction in [0, 1): how far below its peers' median a device's rate may fall
    bool failOnOutlier;        // an outlier device fails the run
    std::string nodeName;      // the node's name in the report; empty: the host's own name
    bool checkFirstOnly;       // check the first product alone, to measure what verifying every product costs
    std::optional<double> stallTimeoutSeconds;  // a device stuck this long in one library call is in error; 0: never;
                                                // empty: the default rule (see stallLimitSeconds)
    int expectDevices;                          // the runtime must see at least this many devices; 0: no expectation
    double sampleIntervalSeconds;               // NVML samples every this long while the timed loops run; 0: never
    bool failOnThrottle;                        // software power or thermal capping fails a device too
    std::string expectFile;                     // the expectation file per GPU model; empty: none
    std::string
        prometheusFile;       // where to write the run's figures for node_exporter's textfile collector; empty: nowhere
    std::string programName;  // the program as invoked, for its usage text
};

// The options of a run without any.
BenchOptions defaultBenchOptions();

// How parsing ended: options to run with, a request fully answered (--help, --version), or a usage error.
enum class ParseOutcome { run, answered, usageError };

// Parses argv[1..argc-1] into options; argv[0] names the program in the usage text. When any argument is exactly
// -h, --help or --version, the first of them writes its text to out and answers the request, whatever the other
// arguments hold. --phases with the resident workload, and an order above kMaxResidentOrder for it, are usage errors.
// Otherwise a bad option or value writes one line naming it and the usage hint to err. Counts are read as decimal
// digits only (a leading zero is not octal, 0x is not hexadecimal). --device N means --devices N;
// --device with --devices, and --duration with --iterations, are usage errors. Calls no GPU library.
ParseOutcome parseBenchOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                               BenchOptions* options);

// Default interval between two NVML samples of a device.
constexpr double kDefaultSampleIntervalSeconds = 1.0;

// The workload's name in the report and on the command line: "round-trip" or "resident".
const char* workloadName(Workload workload);

// The math mode's name: "fp32" or "tf32".
const char* mathName(MathMode math);

// Reads a sample interval: decimal digits and the unit ms or s ("100ms", "1s", "2"), from 10 ms to an hour, or 0 for
// none. Sets seconds and returns true; false otherwise, leaving seconds untouched.
bool parseSampleInterval(const std::string& text, double* seconds);

// Reads a length of time: decimal digits, then an optional unit s (the default), m or h, nothing else. Sets seconds
// and returns true for a length above zero (or zero, when allowZero) and at most kMaxDurationSeconds; returns false
// and leaves seconds untouched otherwise.
bool parseDuration(const std::string& text, double* seconds, bool allowZero = false);

}  // namespace bench
