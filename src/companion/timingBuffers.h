// The buffers that keep kavrel-bench's per-iteration timings, allocated before its loop runs.
#pragma once

#include "common/status.h"

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
