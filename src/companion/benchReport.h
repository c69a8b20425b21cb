// Everything one kavrel-bench run reports, device by device and for the node, and the exit status it leads to.
#pragma once

#include <string>
#include <vector>

#include "companion/benchFigures.h"
#include "companion/benchOptions.h"
#include "companion/deviceOutcome.h"

// Exit statuses of kavrel-bench.
constexpr int kExitPassed = 0;       // every device completed and passed its check
constexpr int kExitCheckFailed = 1;  // every device completed, and some product was wrong or mismatched (or, with
                                     // --fail-on-outlier, some device is an outlier)
constexpr int kExitUsage = 2;        // a bad option or value; nothing was run
constexpr int kExitRunFailed = 3;    // a library call (or host memory) failed on some device

// Buckets of each device's iteration-time histogram.
constexpr int kHistogramBuckets = 12;

// One phase of the round trip: its median time, what it moves or computes, and the rate.
struct PhaseFigure {
    double medianSeconds;
    double amount;  // bytes for the transfers, floating-point operations for the SGEMM
    double rate;    // GB/s or GFLOP/s at the median
};

// One device's report.
struct DeviceReport {
    int index = 0;
    bool failed = false;  // a call failed; only the fields above figures hold anything
    std::string failureMessage;
    bool described = false;
    DeviceDescription description{};
    int libraryVersion = 0;
    // Figures of a device that completed.
    long roundTrips = 0;
    double totalSeconds = 0.0;
    Percentiles iteration{};
    Histogram histogram;
    PhaseFigure upload{};
    PhaseFigure sgemm{};
    PhaseFigure download{};
    double roundTripsPerSecond = 0.0;  // at the median iteration time; what outliers are judged by
    VerificationSummary verification;
    bool passed = false;   // the first product passed, every later one matched it, and every one was checked
    bool outlier = false;  // more than the margin slower than the median of its peers
};

// The node as a whole.
struct NodeSummary {
    int devices = 0;
    int passed = 0;
    int failedChecks = 0;   // completed, but a product was wrong or mismatched
    int failedDevices = 0;  // a library call failed
    long mismatches = 0;
    std::vector<int> outliers;  // device indices
    bool allPassed = false;     // every device passed
};

struct BenchReport {
    BenchOptions options;
    std::string nodeName;   // --node-name, or the host's name
    std::string startTime;  // when the run started, UTC in ISO 8601
    int matrixOrder = 0;
    std::vector<DeviceReport> devices;
    NodeSummary node;
};

// Whether a first product's relative error passes: a reference norm that is not zero and a ratio below the
// threshold.
bool checkPasses(const RelativeError& error);

// The figures of one device's outcome in a run with the options (sorting its timings in place).
DeviceReport summariseDevice(const BenchOptions& options, DeviceOutcome* outcome);

// The report of a run from its devices' outcomes: figures, outliers among the completed devices at the given
// margin, and the node summary.
BenchReport summariseRun(const BenchOptions& options, std::vector<DeviceOutcome>* outcomes);

// The exit status of a run whose report is complete: kExitRunFailed when any device failed, kExitCheckFailed
// when any check failed or (failOnOutlier) any device is an outlier, kExitPassed otherwise.
int runStatus(const BenchReport& report);

// The message for a device's failure on standard error: "!!!! device N: " and the stage's message without its own
// "!!!! ".
std::string deviceFailureLine(const DeviceReport& device);
