// The stages, warm-up, timed loop and release of one device's run, each library call tested where it is made.
#include "companion/deviceRun.h"

#include <chrono>
#include <cstdio>

#include "gpu/deviceSync.h"
#include "gpu/phaseEvents.h"
#include "run/runStages.h"

namespace {

using Clock = std::chrono::steady_clock;

// Round trips kept apart in their own buffers at a time: the loop downloads into one while the other is checked.
constexpr int kResultSlots = 2;

// Matrices that live on the device during the loop.
constexpr int kDeviceMatrices = 3;

// Everything the device's thread holds besides the run state.
struct DeviceHold {
    RunState state;
    PhaseEvents events;
    float* results[kResultSlots] = {};
};

// A step's result, after a device synchronisation when phases are kept apart.
StageResult finishPhase(const StageResult& step, bool phases) {
    if (!step.succeeded || !phases) {
        return step;
    }
    return synchronizeDevice();
}

// Context, version and the check that the device matrices fit in the device's free memory.
StageResult prepareDevice(const SharedRun& shared, DeviceHold* hold, DeviceOutcome* outcome, std::string* detail) {
    StageResult result = selectDevice(outcome->device);
    if (result.succeeded) {
        result = describeDevice(outcome->device, &outcome->description);
        outcome->described = result.succeeded;
    }
    if (result.succeeded) {
        result = createLibraryContext(&hold->state.context);
    }
    if (result.succeeded) {
        result = readLibraryVersion(hold->state.context, &hold->state.version);
        outcome->libraryVersion = hold->state.version;
    }
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    if (result.succeeded) {
        result = readDeviceMemory(&freeBytes, &totalBytes);
    }
    const double needed = static_cast<double>(kDeviceMatrices) * static_cast<double>(storedBytes(shared.shape));
    if (result.succeeded && needed > static_cast<double>(freeBytes)) {
        char message[256];
        std::snprintf(message, sizeof message,
                      "!!!! device memory too small: three matrices of order %d need %.0f bytes, %zu are free\n",
                      shared.shape.order, needed, freeBytes);
        *detail = message;
        return stageFailed("");
    }
    return result;
}

// Test data, result buffers, device matrices, events and the warm-up.
StageResult acquireAndWarmUp(const SharedRun& shared, DeviceHold* hold) {
    RunState& state = hold->state;
    StageResult result = fillTestMatrices(state.shape, &state.host);
    for (float*& slot : hold->results) {
        if (result.succeeded) {
            void* memory = nullptr;
            if (!librarySucceeded(cudaHostAlloc(&memory, storedBytes(state.shape), cudaHostAllocDefault)) ||
                memory == nullptr) {
                result = stageFailed("!!!! host memory allocation error (results)\n");
            }
            slot = static_cast<float*>(memory);
        }
    }
    if (result.succeeded) {
        result = allocateDeviceMatrices(state.shape, &state.device);
    }
    if (result.succeeded) {
        result = createPhaseEvents(&hold->events);
    }
    for (int round = 0; round < shared.options.warmup && result.succeeded; ++round) {
        result = runRoundTrip(state.context, &state.alpha, &state.beta, state.shape, state.host, state.device);
    }
    return result;
}

// One timed round trip into results[slot], its phases marked by events; *start and *end bracket it.
StageResult timedRoundTrip(const DeviceHold& hold, int slot, bool phases, Clock::time_point* start,
                           Clock::time_point* end) {
    const RunState& state = hold.state;
    *start = Clock::now();
    StageResult result = recordPhaseMark(hold.events, 0);
    if (result.succeeded) {
        result = finishPhase(uploadOperands(state.shape, state.host, state.device), phases);
    }
    if (result.succeeded) {
        result = recordPhaseMark(hold.events, 1);
    }
    if (result.succeeded) {
        result =
            finishPhase(multiplyOnDevice(state.context, &state.alpha, &state.beta, state.shape, state.device), phases);
    }
    if (result.succeeded) {
        result = recordPhaseMark(hold.events, 2);
    }
    if (result.succeeded) {
        result = finishPhase(downloadResult(state.shape, state.device, hold.results[slot]), phases);
    }
    if (result.succeeded) {
        result = recordPhaseMark(hold.events, 3);
    }
    *end = Clock::now();
    return result;
}

// The timed loop from the moment the gate opened: a fixed count of round trips, or as many as fit in the
// duration. Waiting for a free result buffer and reading the events happen between the timed spans.
StageResult runTimedLoop(SharedRun* shared, const DeviceHold& hold, Clock::time_point opened, ProductVerifier* verifier,
                         DeviceOutcome* outcome) {
    const BenchOptions& options = shared->options;
    const bool forDuration = options.durationSeconds > 0.0;
    const Clock::time_point deadline =
        opened + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.durationSeconds));
    if (!forDuration) {
        const auto count = static_cast<std::size_t>(options.iterations);
        for (std::vector<double>* times :
             {&outcome->iterationSeconds, &outcome->uploadSeconds, &outcome->sgemmSeconds, &outcome->downloadSeconds}) {
            times->reserve(count);
        }
    }
    for (long iteration = 0;; ++iteration) {
        if (forDuration ? Clock::now() >= deadline : iteration >= options.iterations) {
            return stageSucceeded();
        }
        const int slot = static_cast<int>(iteration % kResultSlots);
        const bool verify = iteration == 0 || !options.checkFirstOnly;
        if (verify) {
            verifier->acquire(slot);
        }
        Clock::time_point start;
        Clock::time_point end;
        StageResult result = timedRoundTrip(hold, slot, options.phases, &start, &end);
        PhaseSeconds phases{};
        if (result.succeeded) {
            result = readPhaseSeconds(hold.events, &phases);
        }
        if (!result.succeeded) {
            return result;
        }
        if (verify) {
            verifier->submit(slot, iteration + 1);
        }
        const double seconds = std::chrono::duration<double>(end - start).count();
        outcome->iterationSeconds.push_back(seconds);
        outcome->uploadSeconds.push_back(phases.upload);
        outcome->sgemmSeconds.push_back(phases.sgemm);
        outcome->downloadSeconds.push_back(phases.download);
        outcome->totalSeconds += seconds;
        shared->roundTrips.fetch_add(1, std::memory_order_relaxed);
    }
}

// Events, the device's run state and the result buffers, in the order they were acquired backwards.
StageResult releaseDevice(DeviceHold* hold) {
    StageResult result = destroyPhaseEvents(&hold->events);
    if (result.succeeded) {
        result = releaseResources(&hold->state);
    }
    for (float* slot : hold->results) {
        cudaFreeHost(slot);
    }
    return result;
}

// Everything runDevice does, from the first stage to the release.
void runDeviceStages(SharedRun* shared, DeviceOutcome* outcome) {
    DeviceHold hold;
    hold.state.shape = shared->shape;
    std::string detail;
    const auto fail = [&](const StageResult& result) {
        outcome->failed = true;
        outcome->failureMessage = detail.empty() ? result.failureMessage : detail;
    };

    Clock::time_point opened;
    // The outcome is set before each arrival, so that the main thread, once everyone has arrived, sees it.
    StageResult result = prepareDevice(*shared, &hold, outcome, &detail);
    if (!result.succeeded) {
        fail(result);
        shared->prepared.arrive();
        shared->started.arrive();
        return;
    }
    shared->prepared.arrive();
    if (!shared->prepared.waitOpen(&opened)) {
        shared->started.arrive();
        return;
    }
    result = acquireAndWarmUp(*shared, &hold);
    if (!result.succeeded) {
        fail(result);
    }
    shared->started.arrive();
    if (!result.succeeded) {
        return;
    }
    if (!shared->started.waitOpen(&opened)) {
        return;
    }

    ProductVerifier verifier(shared->shape, shared->reference, hold.results[0], hold.results[1]);
    if (!verifier.ready()) {
        fail(stageFailed("!!!! host memory allocation error (verification)\n"));
        return;
    }
    result = runTimedLoop(shared, hold, opened, &verifier, outcome);
    outcome->verification = verifier.finish();
    if (result.succeeded) {
        result = releaseDevice(&hold);
    }
    if (!result.succeeded) {
        fail(result);
    }
}

}  // namespace

void runDevice(SharedRun* shared, DeviceOutcome* outcome) {
    runDeviceStages(shared, outcome);
    shared->finishedDevices.fetch_add(1);
}
