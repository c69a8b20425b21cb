// Warm-up and timed round trips built from the device round-trip steps, timed with the steady clock.
#include "companion/timedRuns.h"

#include <chrono>

#include "companion/progressLine.h"
#include "gpu/deviceRoundTrip.h"
#include "gpu/deviceSync.h"

namespace {

using Clock = std::chrono::steady_clock;

// end - start in seconds.
double secondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

// A phase ends when its step has succeeded and the device has finished the work it issued.
StageResult finishPhase(const StageResult& step) {
    if (!step.succeeded) {
        return step;
    }
    return synchronizeDevice();
}

// One round trip timed phase by phase into slot index of the buffers; *end gets the time it ended.
StageResult runPhasedRoundTrip(const RunState& state, Clock::time_point start, int index, TimingBuffers* buffers,
                               Clock::time_point* end) {
    StageResult result = finishPhase(uploadOperands(state.shape, state.host, state.device));
    if (!result.succeeded) {
        return result;
    }
    const Clock::time_point uploaded = Clock::now();
    result = finishPhase(multiplyOnDevice(state.context, &state.alpha, &state.beta, state.shape, state.device));
    if (!result.succeeded) {
        return result;
    }
    const Clock::time_point multiplied = Clock::now();
    result = finishPhase(downloadResult(state.shape, state.device, state.host.hostC));
    if (!result.succeeded) {
        return result;
    }
    *end = Clock::now();
    buffers->uploadSeconds[index] = secondsBetween(start, uploaded);
    buffers->sgemmSeconds[index] = secondsBetween(uploaded, multiplied);
    buffers->downloadSeconds[index] = secondsBetween(multiplied, *end);
    return stageSucceeded();
}

// One round trip exactly as kavrel-test runs it; *end gets the time it ended.
StageResult runPlainRoundTrip(const RunState& state, Clock::time_point* end) {
    const StageResult result =
        runRoundTrip(state.context, &state.alpha, &state.beta, state.shape, state.host, state.device);
    *end = Clock::now();
    return result;
}

}  // namespace

StageResult runWarmup(const RunState& state, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const StageResult result =
            runRoundTrip(state.context, &state.alpha, &state.beta, state.shape, state.host, state.device);
        if (!result.succeeded) {
            return result;
        }
    }
    return stageSucceeded();
}

StageResult runTimedLoop(const RunState& state, bool phases, bool showProgress, TimingBuffers* buffers,
                         double* totalSeconds) {
    const Clock::time_point start = Clock::now();
    ProgressLine progress = startProgress(showProgress, buffers->iterations, start);
    Clock::time_point previous = start;
    for (int iteration = 0; iteration < buffers->iterations; ++iteration) {
        Clock::time_point end;
        const StageResult result =
            phases ? runPhasedRoundTrip(state, previous, iteration, buffers, &end) : runPlainRoundTrip(state, &end);
        if (!result.succeeded) {
            clearProgress(&progress);
            return result;
        }
        buffers->iterationSeconds[iteration] = secondsBetween(previous, end);
        previous = end;
        updateProgress(&progress, iteration + 1, end);
    }
    clearProgress(&progress);
    *totalSeconds = secondsBetween(start, previous);
    return stageSucceeded();
}
