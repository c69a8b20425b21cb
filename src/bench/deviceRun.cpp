// The stages, warm-up, timed loop and release of one device's run, each library call tested where it is made.
#include "bench/deviceRun.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <system_error>

#include "bench/residentRun.h"
#include "bench/watchdog.h"
#include "gpu/deviceSync.h"
#include "gpu/libraryFailure.h"
#include "gpu/phaseEvents.h"
#include "gpu/residentProducts.h"
#include "run/runStages.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Round trips kept apart in their own buffers at a time: the loop downloads into one while the other is checked.
constexpr int kResultBuffers = 2;

// Matrices that live on the device during the loop.
constexpr int kDeviceMatrices = 3;

// Everything the device's thread holds besides the run state.
struct DeviceHold {
    RunState state;
    PhaseEvents events;
    float* results[kResultBuffers] = {};
};

// A step's result, after a device synchronisation when phases are kept apart.
StageResult finishPhase(const StageResult& step, bool phases) {
    if (!step.succeeded || !phases) {
        return step;
    }
    return synchronizeDevice();
}

// Publishes what is known of the device, so that a report of it names the GPU even if it is given up on later.
void publishIdentity(DeviceTask* task, const DeviceOutcome& outcome) {
    const std::lock_guard<std::mutex> lock(task->mutex);
    task->outcome.described = outcome.described;
    task->outcome.description = outcome.description;
    task->outcome.libraryVersion = outcome.libraryVersion;
}

// Context, version and the check that the device matrices fit in the device's free memory.
bool prepareDevice(const SharedRun& shared, DeviceHold* hold, DeviceTask* task, DeviceOutcome* outcome) {
    StageResult result = selectDevice(outcome->device);
    if (result.succeeded) {
        result = describeDevice(outcome->device, &outcome->description);
        outcome->described = result.succeeded;
        publishIdentity(task, *outcome);
    }
    if (result.succeeded) {
        result = createLibraryContext(&hold->state.context);
    }
    if (result.succeeded) {
        result = readLibraryVersion(hold->state.context, &hold->state.version);
        outcome->libraryVersion = hold->state.version;
        publishIdentity(task, *outcome);
    }
    if (result.succeeded && shared.options.math == MathMode::tf32) {
        result = setMathMode(hold->state.context, true);
    }
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    if (result.succeeded) {
        result = readDeviceMemory(&freeBytes, &totalBytes);
    }
    if (!result.succeeded) {
        outcome->failure = failureOf(result);
        return false;
    }
    const bool resident = shared.options.workload == Workload::resident;
    const int matrices = resident ? kResidentFixedMatrices + residentBatch(shared.shape) : kDeviceMatrices;
    const double needed = resident
                              ? residentDeviceBytes(shared.shape, residentBatch(shared.shape))
                              : static_cast<double>(kDeviceMatrices) * static_cast<double>(storedBytes(shared.shape));
    if (needed > static_cast<double>(freeBytes)) {
        char message[256];
        const std::string count = resident ? std::to_string(matrices) : "three";
        std::snprintf(message, sizeof message,
                      "device memory too small: %s matrices of order %d need %.0f bytes, %zu are free", count.c_str(),
                      shared.shape.order, needed, freeBytes);
        outcome->failure = failureWithMessage(message);
        return false;
    }
    return true;
}

// Test data, result buffers, device matrices, events and the warm-up, which downloads where the timed loop does,
// so that the host's C stays what the test data made it. The warm-up stops early at the deadline or an interruption.
StageResult acquireAndWarmUp(const SharedRun& shared, DeviceHold* hold, DeviceTask* task) {
    RunState& state = hold->state;
    StageResult result = fillTestMatrices(state.shape, &state.host);
    for (float*& buffer : hold->results) {
        if (result.succeeded) {
            result = allocatePageLockedMatrix(state.shape, "!!!! host memory allocation error (results)\n", &buffer);
        }
    }
    if (result.succeeded) {
        result = allocateDeviceMatrices(state.shape, &state.device);
    }
    if (result.succeeded) {
        result = createPhaseEvents(&hold->events);
    }
    for (int round = 0; round < shared.options.warmup && result.succeeded; ++round) {
        if (shared.stopRequested.load() || Clock::now() >= shared.deadline) {
            break;
        }
        const Clock::time_point start = Clock::now();
        result = uploadOperands(state.shape, state.host, state.device);
        if (result.succeeded) {
            result = multiplyOnDevice(state.context, &state.alpha, &state.beta, state.shape, state.device);
        }
        if (result.succeeded) {
            result = downloadResult(state.shape, state.device, hold->results[0]);
        }
        if (result.succeeded) {
            noteRoundTrip(task, Clock::now() - start);
        }
    }
    return result;
}

// One timed round trip into result, its phases marked by events; *start and *end bracket it.
StageResult timedRoundTrip(const DeviceHold& hold, float* result, bool phases, Clock::time_point* start,
                           Clock::time_point* end) {
    const RunState& state = hold.state;
    *start = Clock::now();
    StageResult step = recordPhaseMark(hold.events, 0);
    if (step.succeeded) {
        step = finishPhase(uploadOperands(state.shape, state.host, state.device), phases);
    }
    if (step.succeeded) {
        step = recordPhaseMark(hold.events, 1);
    }
    if (step.succeeded) {
        step =
            finishPhase(multiplyOnDevice(state.context, &state.alpha, &state.beta, state.shape, state.device), phases);
    }
    if (step.succeeded) {
        step = recordPhaseMark(hold.events, 2);
    }
    if (step.succeeded) {
        step = finishPhase(downloadResult(state.shape, state.device, result), phases);
    }
    if (step.succeeded) {
        step = recordPhaseMark(hold.events, 3);
    }
    *end = Clock::now();
    return step;
}

// The timed loop from the moment the gate opened: a fixed count of round trips, or (duration) as many as start
// before the deadline, at least one. Waiting for a free result buffer and reading the events happen between the
// timed spans. Stops after the round trip under way when the run is interrupted or the device is given up on.
StageResult runTimedLoop(SharedRun* shared, DeviceTask* task, const DeviceHold& hold, Clock::time_point opened,
                         ProductVerifier* verifier, DeviceOutcome* outcome) {
    const BenchOptions& options = shared->options;
    const bool forDuration = options.durationSeconds > 0.0;
    StageResult result = stageSucceeded();
    enterTimedLoop(task);
    for (long iteration = 0;; ++iteration) {
        const bool done =
            forDuration ? iteration > 0 && Clock::now() >= shared->deadline : iteration >= options.iterations;
        // Interrupted, a device still times one round trip, so that it has a product checked.
        if (done || (iteration > 0 && shared->stopRequested.load()) || (iteration % 16 == 0 && abandoned(task))) {
            break;
        }
        float* buffer = verifier->acquire();
        Clock::time_point start;
        Clock::time_point end;
        result = timedRoundTrip(hold, buffer, options.phases, &start, &end);
        PhaseSeconds phases{};
        if (result.succeeded) {
            result = readPhaseSeconds(hold.events, &phases);
        }
        if (!result.succeeded) {
            verifier->release(buffer);
            break;
        }
        if (iteration == 0 || !options.checkFirstOnly) {
            verifier->submit(buffer, iteration + 1);
        } else {
            verifier->release(buffer);
        }
        noteRoundTrip(task, end - start);
        outcome->iterationTimes.add(std::chrono::duration<double>(end - start).count());
        outcome->uploadTimes.add(phases.upload);
        outcome->sgemmTimes.add(phases.sgemm);
        outcome->downloadTimes.add(phases.download);
        shared->roundTrips.fetch_add(1, std::memory_order_relaxed);
        task->timedRoundTrips.fetch_add(1, std::memory_order_relaxed);
    }
    leaveTimedLoop(task);
    outcome->loopWallSeconds = std::chrono::duration<double>(Clock::now() - opened).count();
    return result;
}

// Events, the device's run state and the result buffers, in the order they were acquired backwards.
StageResult releaseDevice(DeviceHold* hold) {
    StageResult result = destroyPhaseEvents(&hold->events);
    if (result.succeeded) {
        result = releaseResources(&hold->state);
    }
    for (float* buffer : hold->results) {
        freePageLockedMatrix(buffer);
    }
    return result;
}

// Everything runDevice does, from the first stage to the release, into outcome.
void runDeviceStages(SharedRun* shared, DeviceTask* task, DeviceOutcome* outcome) {
    DeviceHold hold;
    hold.state.shape = shared->shape;
    Clock::time_point opened;
    // The outcome is set before each arrival, so that the main thread, once everyone has arrived, sees it.
    const bool prepared = prepareDevice(*shared, &hold, task, outcome);
    task->prepared.store(prepared);
    shared->prepared.arrive(task->slot);
    if (!prepared) {
        shared->started.arrive(task->slot);
        return;
    }
    if (!shared->prepared.waitOpen(&opened)) {
        shared->started.arrive(task->slot);
        return;
    }
    if (shared->options.workload == Workload::resident) {
        runResidentStages(shared, task, &hold.state, outcome);
        return;
    }
    StageResult result = acquireAndWarmUp(*shared, &hold, task);
    if (!result.succeeded) {
        outcome->failure = failureOf(result);
    }
    shared->started.arrive(task->slot);
    if (!result.succeeded || !shared->started.waitOpen(&opened)) {
        return;
    }

    ProductVerifier verifier(shared->shape, shared->reference.get(), hold.results[0], hold.results[1],
                             relativeErrorThreshold(shared->shape.order, shared->options.math == MathMode::tf32));
    if (!verifier.ready()) {
        outcome->failure = failureWithMessage("host memory allocation error (verification)");
        return;
    }
    result = runTimedLoop(shared, task, hold, opened, &verifier, outcome);
    outcome->verification = verifier.finish();
    if (result.succeeded && !abandoned(task)) {
        result = releaseDevice(&hold);
    }
    if (!result.succeeded) {
        outcome->failure = failureOf(result);
    }
}

}  // namespace

DeviceFailure failureOf(const StageResult& result) {
    DeviceFailure failure;
    failure.message = failureText(result.failureMessage);
    if (result.failedCall != nullptr) {
        failure.call = result.failedCall;
        failure.library = result.library;
        failure.statusCode = result.libraryStatus;
        const char* name = libraryStatusName(result.library, result.libraryStatus);
        failure.statusName = name != nullptr ? name : "";
    }
    return failure;
}

DeviceFailure failureWithMessage(const std::string& message) {
    DeviceFailure failure;
    failure.message = message;
    return failure;
}

bool abandoned(DeviceTask* task) {
    const std::lock_guard<std::mutex> lock(task->mutex);
    return task->abandoned;
}

void noteRoundTrip(DeviceTask* task, Clock::duration took) {
    const double seconds = std::max(1e-9, std::chrono::duration<double>(took).count());
    const double fastest = task->fastestRoundTripSeconds.load();
    if (fastest == 0.0 || seconds < fastest) {
        task->fastestRoundTripSeconds.store(seconds);
    }
}

void enterTimedLoop(DeviceTask* task) {
    task->timedLoopStartNanoseconds.store(callWatchClockNanoseconds());
    task->inTimedLoop.store(true);
}

void leaveTimedLoop(DeviceTask* task) {
    task->inTimedLoop.store(false);
}

void runDevice(const std::shared_ptr<SharedRun>& shared, const std::shared_ptr<DeviceTask>& task) {
    watchCallsOnThisThread(&task->watch);
    DeviceOutcome outcome;
    outcome.device = task->outcome.device;
    // Host memory running out, here or in a thread this one starts, is this device's failure; it must not end the
    // whole run.
    try {
        runDeviceStages(shared.get(), task.get(), &outcome);
    } catch (const std::bad_alloc&) {
        outcome.failure = failureWithMessage("host memory allocation error");
    } catch (const std::system_error&) {
        outcome.failure = failureWithMessage("host thread error");
    }
    // Arrivals the stages did not make, so that nobody waits at a gate for a device that has left.
    shared->prepared.arrive(task->slot);
    shared->started.arrive(task->slot);
    watchCallsOnThisThread(nullptr);
    const std::lock_guard<std::mutex> lock(task->mutex);
    if (!task->abandoned) {
        task->outcome = std::move(outcome);
    }
    task->finished = true;
}

bool abandonDevice(DeviceTask* task, const char* call, double insideSeconds) {
    const std::lock_guard<std::mutex> lock(task->mutex);
    if (task->finished || task->abandoned) {
        return false;
    }
    task->abandoned = true;
    DeviceFailure failure;
    failure.message = stallMessage(call, insideSeconds);
    failure.call = call != nullptr ? call : "";
    failure.stalledSeconds = insideSeconds;
    task->outcome.failure = failure;
    return true;
}

}  // namespace bench
