// Everything one kavrel-bench run reports, gathered for the table and the JSON document, and the exit status
// it leads to.
#pragma once

#include "companion/benchFigures.h"
#include "companion/benchOptions.h"
#include "gpu/deviceInfo.h"
#include "host/resultCheck.h"

// Exit statuses of kavrel-bench.
constexpr int kExitPassed = 0;       // the run completed and the check passed
constexpr int kExitCheckFailed = 1;  // the run completed and the check failed (wrong product, NaN, zero norm)
constexpr int kExitUsage = 2;        // a bad option or value; nothing was run
constexpr int kExitRunFailed = 3;    // a GPU library call (or the timings' host memory) failed; nothing reported

struct BenchReport {
    BenchOptions options;
    DeviceDescription device;
    int libraryVersion;  // as cublasGetVersion_v2 reports it
    TimingFigures timing;
    RelativeError error;  // of the last downloaded product against the host reference
    bool passed;          // the check passed: the reference norm is not zero and the ratio is below the threshold
};

// Whether the check of a completed run passed: a reference norm that is not zero and a ratio below the threshold.
bool checkPasses(const RelativeError& error);

// The exit status of a completed run, from its relative error: kExitPassed when the check passes,
// kExitCheckFailed otherwise (a zero reference norm or a NaN included).
int completedRunStatus(const BenchReport& report);
