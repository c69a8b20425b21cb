// Device events around the three phases of a round trip, which time them on the device's own clock.
#pragma once

#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Marks recorded before the uploads, after them, after the SGEMM and after the download.
constexpr int kPhaseMarks = 4;

struct PhaseEvents {
    cudaEvent_t marks[kPhaseMarks] = {};  // null until created
};

// Seconds each phase took between its marks.
struct PhaseSeconds {
    double upload;
    double sgemm;
    double download;
};

// Creates the four events on the current device; fails with "!!!! event error\n", leaving those created so far
// set for destroyPhaseEvents.
StageResult createPhaseEvents(PhaseEvents* events);

// Records mark (0 to kPhaseMarks - 1) in the default stream, after all work issued before it; fails with
// "!!!! event error\n".
StageResult recordPhaseMark(const PhaseEvents& events, int mark);

// Waits for the last mark and reads the time between each pair of marks; fails with "!!!! event error\n".
StageResult readPhaseSeconds(const PhaseEvents& events, PhaseSeconds* seconds);

// Destroys whichever events exist; fails with "!!!! event error\n" on the first that cannot be destroyed.
StageResult destroyPhaseEvents(PhaseEvents* events);
