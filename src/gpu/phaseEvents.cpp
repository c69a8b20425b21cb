// The runtime's event calls around a round trip, each tested where it is made.
#include "gpu/phaseEvents.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"

namespace {

constexpr const char* kEventError = "!!!! event error\n";
constexpr double kSecondsPerMillisecond = 1e-3;

// Seconds from mark first to mark second, both complete.
StageResult secondsBetween(const PhaseEvents& events, int first, int second, double* seconds) {
    float milliseconds = 0.0f;
    const cudaError_t status = watchedCall("cudaEventElapsedTime", [&] {
        return cudaEventElapsedTime(&milliseconds, events.marks[first], events.marks[second]);
    });
    if (!librarySucceeded(status)) {
        return callFailed(kEventError, "cudaEventElapsedTime", status);
    }
    *seconds = static_cast<double>(milliseconds) * kSecondsPerMillisecond;
    return stageSucceeded();
}

}  // namespace

StageResult createPhaseEvents(PhaseEvents* events) {
    for (cudaEvent_t& mark : events->marks) {
        const cudaError_t status = watchedCall("cudaEventCreate", [&] { return cudaEventCreate(&mark); });
        if (!librarySucceeded(status)) {
            return callFailed(kEventError, "cudaEventCreate", status);
        }
    }
    return stageSucceeded();
}

StageResult recordPhaseMark(const PhaseEvents& events, int mark) {
    const cudaError_t status =
        watchedCall("cudaEventRecord", [&] { return cudaEventRecord(events.marks[mark], nullptr); });
    if (!librarySucceeded(status)) {
        return callFailed(kEventError, "cudaEventRecord", status);
    }
    return stageSucceeded();
}

StageResult readPhaseSeconds(const PhaseEvents& events, PhaseSeconds* seconds) {
    // The marks complete in order, so the last one completing means they all have.
    const cudaError_t status =
        watchedCall("cudaEventSynchronize", [&] { return cudaEventSynchronize(events.marks[kPhaseMarks - 1]); });
    if (!librarySucceeded(status)) {
        return callFailed(kEventError, "cudaEventSynchronize", status);
    }
    PhaseSeconds read{};
    StageResult result = secondsBetween(events, 0, 1, &read.upload);
    if (result.succeeded) {
        result = secondsBetween(events, 1, 2, &read.sgemm);
    }
    if (result.succeeded) {
        result = secondsBetween(events, 2, 3, &read.download);
    }
    if (result.succeeded) {
        *seconds = read;
    }
    return result;
}

StageResult destroyPhaseEvents(PhaseEvents* events) {
    for (cudaEvent_t& mark : events->marks) {
        if (mark != nullptr) {
            const cudaError_t status = watchedCall("cudaEventDestroy", [&] { return cudaEventDestroy(mark); });
            if (!librarySucceeded(status)) {
                return callFailed(kEventError, "cudaEventDestroy", status);
            }
            mark = nullptr;
        }
    }
    return stageSucceeded();
}
