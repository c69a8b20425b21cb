// The warm-up and the timed loop of device round trips, and the buffers that keep their timings.
#pragma once

#include "common/status.h"
#include "driver/runState.h"

// Seconds of every timed iteration, and with phases of each of its three phases. Null until allocated.
struct TimingBuffers {
    int iterations = 0;
    double* iterationSeconds = nullptr;  // from the end of the previous iteration (or the loop's start) to its end
    double* uploadSeconds = nullptr;     // upload of A, B and C plus a device synchronisation; null without phases
    double* sgemmSeconds = nullptr;      // SGEMM plus a device synchronisation; null without phases
    double* downloadSeconds = nullptr;   // download of C plus a device synchronisation; null without phases
};

// Allocates iterations doubles for the iteration times and, with phases, as many for each phase, all before
// the loop so that it allocates nothing. Fails with "!!!! host memory allocation error (timings)\n"; whatever
// was allocated stays set in buffers for releaseTimingBuffers.
StageResult allocateTimingBuffers(int iterations, bool phases, TimingBuffers* buffers);

// Frees whatever buffers holds and sets it back to empty.
void releaseTimingBuffers(TimingBuffers* buffers);

// Runs rounds untimed round trips (upload, SGEMM, download) on the state's context, scalars and matrices.
StageResult runWarmup(const RunState& state, int rounds);

// Runs buffers->iterations round trips and records each one's seconds from the steady clock; totalSeconds gets
// the loop's elapsed seconds, the sum of the iteration times. Without phases the round trips run back to back as
// in kavrel-test; with phases (buffers allocated with them) the device is synchronised after each phase and the
// phases are timed apart. With showProgress a progress line on standard error is kept up to date and erased at
// the end, also when a failure ends the loop.
StageResult runTimedLoop(const RunState& state, bool phases, bool showProgress, TimingBuffers* buffers,
                         double* totalSeconds);
