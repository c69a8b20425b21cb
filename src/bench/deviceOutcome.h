// What one device's part of a kavrel-bench run produced: its failure and its cause, or its timings and verification.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/deviceHealth.h"
#include "bench/productVerifier.h"
#include "bench/timeSummary.h"
#include "common/status.h"
#include "gpu/deviceInfo.h"

namespace bench {

// Why a device's run ended early: the message and, when a library call failed, that call and its status.
struct DeviceFailure {
    std::string message;  // "kernel execution error.": the stage's message without "!!!! " or a line end
    std::string call;     // the failing library call, "cublasSgemm_v2"; empty when no call failed
    GpuLibrary library = GpuLibrary::none;
    int statusCode = 0;                    // what the call returned
    std::string statusName;                // the library's name for it, "CUBLAS_STATUS_EXECUTION_FAILED"
    std::optional<double> stalledSeconds;  // set when call never returned: how long it had been running when the
                                           // device was given up on (then statusCode means nothing)
};

// The message of a stage's failure message, "!!!! kernel execution error.\n", without its "!!!! " and line end.
std::string failureText(const char* stageMessage);

// One interval of the resident workload's timed loop: the products whose sums were read in it, and their SGEMMs'
// time on the device's clock.
struct IntervalFigures {
    long products = 0;
    double sgemmSeconds = 0.0;
};

// What one device's run produced.
struct DeviceOutcome {
    int device = 0;
    std::optional<DeviceFailure> failure;  // set when a call failed; nothing more was done on this device
    bool described = false;                // description holds the device's name
    DeviceDescription description{};
    int libraryVersion = 0;
    double loopWallSeconds = 0.0;  // from the start of the timed loop to its end, waits between spans included
    TimeSummary iterationTimes;    // each timed round trip, host steady clock
    TimeSummary uploadTimes;       // each phase, from device events
    TimeSummary sgemmTimes;
    TimeSummary downloadTimes;
    VerificationSummary verification;
    std::vector<IntervalFigures> intervals;  // the resident workload's, one per interval from the loop's start
    DeviceHealth health;  // what NVML showed of the device, filled in by the main thread after the run
};

}  // namespace bench
