// One device's part of a kavrel-bench run, on a thread of its own: set-up, warm-up, timed loop with every
// product verified, and release.
#pragma once

#include <atomic>

#include "common/matrix.h"
#include "companion/benchOptions.h"
#include "companion/deviceOutcome.h"
#include "companion/runGate.h"

// What every device thread of one run shares with the others and with the main thread.
struct SharedRun {
    explicit SharedRun(const BenchOptions& runOptions, int deviceCount)
        : options(runOptions), shape{runOptions.size, runOptions.size}, prepared(deviceCount), started(deviceCount) {}

    BenchOptions options;
    MatrixShape shape;
    RunGate prepared;  // each device has its context and knows its matrices fit; then the reference is computed
    RunGate started;   // each device has its data, device matrices and warm-up; the timed loops start together
    const float* reference = nullptr;     // the host reference product, set before prepared opens
    std::atomic<long> roundTrips{0};      // timed round trips done so far on every device, for the progress line
    std::atomic<int> finishedDevices{0};  // device threads that have returned
};

// Runs device outcome->device through the whole run, meeting the other threads at shared->prepared and
// shared->started (arriving at both even when it fails first). On success it releases everything it acquired;
// on a failure it stops where it is, records the message and releases nothing.
void runDevice(SharedRun* shared, DeviceOutcome* outcome);
