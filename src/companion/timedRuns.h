// The warm-up and the timed loop of device round trips, timed on the steady clock.
#pragma once

#include "common/status.h"
#include "companion/timingBuffers.h"
#include "run/runState.h"

// Runs rounds untimed round trips (upload, SGEMM, download) on the state's context, scalars and matrices.
StageResult runWarmup(const RunState& state, int rounds);

// Runs buffers->iterations round trips and records each one's seconds from the steady clock; totalSeconds gets
// the loop's elapsed seconds, the sum of the iteration times. Without phases the round trips run back to back as
// in kavrel-test; with phases (buffers allocated with them) the device is synchronised after each phase and the
// phases are timed apart. With showProgress a progress line on standard error is kept up to date and erased at
// the end, also when a failure ends the loop.
StageResult runTimedLoop(const RunState& state, bool phases, bool showProgress, TimingBuffers* buffers,
                         double* totalSeconds);
