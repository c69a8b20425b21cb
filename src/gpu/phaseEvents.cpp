// The runtime's event calls around a round trip, each tested where it is made.
#include "gpu/phaseEvents.h"

namespace {

constexpr const char* kEventError = "!!!! event error\n";
constexpr double kSecondsPerMillisecond = 1e-3;

// Seconds from mark first to mark second, both complete.
bool secondsBetween(const PhaseEvents& events, int first, int second, double* seconds) {
    float milliseconds = 0.0f;
    if (!librarySucceeded(cudaEventElapsedTime(&milliseconds, events.marks[first], events.marks[second]))) {
        return false;
    }
    *seconds = static_cast<double>(milliseconds) * kSecondsPerMillisecond;
    return true;
}

}  // namespace

StageResult createPhaseEvents(PhaseEvents* events) {
    for (cudaEvent_t& mark : events->marks) {
        if (!librarySucceeded(cudaEventCreate(&mark))) {
            return stageFailed(kEventError);
        }
    }
    return stageSucceeded();
}

StageResult recordPhaseMark(const PhaseEvents& events, int mark) {
    if (!librarySucceeded(cudaEventRecord(events.marks[mark], nullptr))) {
        return stageFailed(kEventError);
    }
    return stageSucceeded();
}

StageResult readPhaseSeconds(const PhaseEvents& events, PhaseSeconds* seconds) {
    // The marks complete in order, so the last one completing means they all have.
    if (!librarySucceeded(cudaEventSynchronize(events.marks[kPhaseMarks - 1]))) {
        return stageFailed(kEventError);
    }
    PhaseSeconds read{};
    if (!secondsBetween(events, 0, 1, &read.upload) || !secondsBetween(events, 1, 2, &read.sgemm) ||
        !secondsBetween(events, 2, 3, &read.download)) {
        return stageFailed(kEventError);
    }
    *seconds = read;
    return stageSucceeded();
}

StageResult destroyPhaseEvents(PhaseEvents* events) {
    for (cudaEvent_t& mark : events->marks) {
        if (mark != nullptr) {
            if (!librarySucceeded(cudaEventDestroy(mark))) {
                return stageFailed(kEventError);
            }
            mark = nullptr;
        }
    }
    return stageSucceeded();
}
