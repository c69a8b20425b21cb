// Everything one kavrel-bench run reports, device by device and for the node, and the exit status it leads to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench/benchFigures.h"
#include "bench/benchOptions.h"
#include "bench/deviceOutcome.h"
#include "report/expectations.h"

namespace bench {

// Buckets of each device's iteration-time histogram.
constexpr int kHistogramBuckets = 12;

// One phase of the round trip: its median time, what it moves or computes, and the rate.
struct PhaseFigure {
    double medianSeconds;
    double amount;  // bytes for the transfers, floating-point operations for the SGEMM
    double rate;    // GB/s or GFLOP/s at the median
};

// How far a device's SGEMM rate may fall from its best interval of the resident workload to its last before the
// device is flagged (and, with --fail-on-throttle, failed).
constexpr double kRateFallMargin = 0.10;

// The share of an interval the last one must cover to be judged: a shorter one holds too few products to say much.
constexpr double kJudgedIntervalShare = 0.5;

// One interval of the resident workload's rate series, with NVML's readings over it where there are any.
struct IntervalReport {
    double startSeconds = 0.0;  // from the start of the timed loop
    double seconds = 0.0;       // its length; the last one ends with the loop
    long products = 0;
    double gflopPerSecond = 0.0;  // from the SGEMMs' time on the device's clock; 0 without products
    IntervalReadings readings;    // samples 0 when NVML took none in it
};

// One device's report.
struct DeviceReport {
    int index = 0;
    std::optional<DeviceFailure> failure;  // set when a call failed; then only the fields above figures hold anything
    bool described = false;
    DeviceDescription description{};
    int libraryVersion = 0;
    // Figures of a device that completed.
    long roundTrips = 0;
    double timedSeconds = 0.0;     // the timed spans added up
    double loopWallSeconds = 0.0;  // the timed loop from start to end
    bool exactTimes = true;        // every round trip's time was kept, so the percentiles are recorded times
    Percentiles iteration{};
    Histogram histogram;
    PhaseFigure upload{};
    PhaseFigure sgemm{};
    PhaseFigure download{};
    double roundTripsPerSecond = 0.0;  // at the median iteration time (products per second for the resident workload)
    double judgedRate = 0.0;  // what outliers are judged by: round trips per second, or the resident workload's SGEMM
                              // GFLOP/s
    std::vector<IntervalReport> intervals;  // the resident workload's rate series
    std::optional<double> rateFall;  // from the best judged interval to the last, as a fraction; empty with fewer
                                     // than two judged intervals
    bool rateFell = false;           // rateFall above kRateFallMargin
    VerificationSummary verification;
    bool checkPassed = false;  // every product checked, none wrong, and the first one passed the reference check
    DeviceHealth health;
    std::vector<HealthVerdict> healthVerdicts;  // from the readings (healthVerdicts)
    bool expected = false;                      // an expectation names the device's model
    std::vector<std::string> shortfalls;        // where the device fell below its model's expectation
    bool healthPassed = true;                   // no health verdict failed and no expectation fell short
    bool passed = false;                        // checkPassed and healthPassed
    bool outlier = false;                       // more than the margin slower than the median of its peers
};

// The node as a whole.
struct NodeSummary {
    int devices = 0;
    int passed = 0;
    int failedChecks = 0;         // completed, but a product was wrong or a health verdict failed
    int failedHealth = 0;         // completed, and a health verdict failed or an expectation fell short
    int failedDevices = 0;        // a library call failed
    long mismatches = 0;          // wrong products on all devices
    std::vector<int> outliers;    // device indices
    int expectedDevices = 0;      // --expect-devices; 0 when nothing was expected
    int visibleDevices = -1;      // the devices the runtime sees, when it was asked for them; -1 otherwise
    bool missingDevices = false;  // fewer visible devices than expected
    bool allPassed = false;       // some device ran, every device passed, and none is missing
};

// What stopped a run before its end, when something did.
struct Interruption {
    int signal = 0;             // SIGINT or SIGTERM; 0 when the run was not interrupted
    double afterSeconds = 0.0;  // from the start of the run to the signal
};

struct BenchReport {
    BenchOptions options;
    std::string nodeName;           // --node-name, or the host's name
    std::string startTime;          // when the run started, UTC in ISO 8601
    std::int64_t startSeconds = 0;  // the same, in seconds since the epoch
    double durationSeconds = 0.0;   // from the start of the run to its report
    int matrixOrder = 0;
    std::vector<DeviceReport> devices;
    NodeSummary node;
    Interruption interruption;
    NvmlStatus nvml;
};

// What a workload's outliers are judged by, as the report names it: "round_trips_per_second" or
// "sgemm_gflop_per_second".
const char* judgedRateName(Workload workload);

// Whether a first product's relative error passes: a reference norm that is not zero and a ratio below the
// threshold.
bool checkPasses(const RelativeError& error, float threshold);

// The figures of one device's outcome in a run with the options, judged by the expectations.
DeviceReport summariseDevice(const BenchOptions& options, DeviceOutcome* outcome,
                             const std::vector<report::Expectation>& expectations = {});

// The report of a run from its devices' outcomes: figures, outliers among the completed devices at the given
// margin, and the node summary; visibleDevices is the runtime's device count when it was asked (-1 otherwise),
// compared with options.expectDevices.
BenchReport summariseRun(const BenchOptions& options, std::vector<DeviceOutcome>* outcomes, int visibleDevices = -1,
                         const std::vector<report::Expectation>& expectations = {});

// The exit status of a run whose report is complete: kExitRunFailed when any device failed or is missing,
// kExitInterrupted when the run was interrupted, kExitCheckFailed when any check failed or (failOnOutlier) any
// device is an outlier, kExitPassed otherwise.
int runStatus(const BenchReport& report);

// The line for devices missing from the node: "!!!! expected 4 devices, the runtime sees 3\n"; empty when none is.
std::string missingDevicesLine(const NodeSummary& node);

// The line for a device's failure on standard error: "!!!! device N: " and its message, then a line break.
std::string deviceFailureLine(const DeviceReport& device);

}  // namespace bench
