// One device's part of a kavrel-bench run, on a thread of its own: set-up, warm-up, timed loop with every product
// verified, and release; and what that thread shares with the main thread that watches it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bench/benchOptions.h"
#include "bench/deviceOutcome.h"
#include "bench/runGate.h"
#include "common/matrix.h"
#include "gpu/callWatch.h"

namespace bench {

// What every device thread of one run shares with the others and with the main thread. Device threads hold it
// through a shared pointer, so that one the main thread has given up on, if its stuck call ever returns, still finds
// it alive.
struct SharedRun {
    explicit SharedRun(const BenchOptions& runOptions, int deviceCount)
        : options(runOptions), shape{runOptions.size, runOptions.size}, prepared(deviceCount), started(deviceCount) {}

    BenchOptions options;
    MatrixShape shape;
    RunGate prepared;  // each device has its context and knows its matrices fit; then the reference is computed
    RunGate started;   // each device has its data, device matrices and warm-up; the timed loops start together
    std::shared_ptr<const float[]> reference;  // the host reference product, set before prepared opens
    // With a duration, when every device stops starting round trips (its first timed one excepted).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::atomic<bool> stopRequested{false};  // the run was interrupted: stop after the round trip under way
    std::atomic<long> roundTrips{0};         // timed round trips done so far on every device, for the progress line
};

// One device's thread as the main thread sees it: the calls it is in, and the hand-over of its outcome, which goes
// either to the main thread once the device finishes or nowhere, when the main thread gave up on it first.
struct DeviceTask {
    DeviceTask(int slotInRun, int deviceIndex) : slot(slotInRun) {
        outcome.device = deviceIndex;
    }

    const int slot;  // its place in the run's list of devices, for the gates
    CallWatch watch;
    std::atomic<double> fastestRoundTripSeconds{0.0};  // its fastest round trip so far; 0 until one has completed
    std::atomic<bool> prepared{false};                 // it has its context and its matrices fit, before the first gate
    std::atomic<bool> inTimedLoop{false};              // its timed loop is running, for the health samples
    std::atomic<long> timedRoundTrips{0};              // timed round trips (or products) done, for the health samples
    std::atomic<std::int64_t> timedLoopStartNanoseconds{0};  // on callWatchClockNanoseconds' clock, once it started

    // Guarded by mutex.
    std::mutex mutex;
    DeviceOutcome outcome;  // identity as soon as it is known; everything once finished
    bool finished = false;
    bool abandoned = false;  // the main thread gave up on it; nothing it does from now on is reported
};

// Runs the device through the whole run, meeting the other threads at shared->prepared and shared->started (arriving
// at both even when it fails first), and hands its outcome to task. On success it releases everything it acquired;
// on a failure it stops where it is, records the failure and its cause, and releases nothing. Running out of host
// memory is a failure of the device like any other. Stops early, after the round trip under way, when the run is
// interrupted or task is abandoned. Started as a thread, which keeps its own copies of both pointers.
void runDevice(const std::shared_ptr<SharedRun>& shared, const std::shared_ptr<DeviceTask>& task);

// What the workloads' stages share.

// A stage's failure as the report gives it: the message, and the call and its status named by the library.
DeviceFailure failureOf(const StageResult& result);

// A failure that is not a library call's.
DeviceFailure failureWithMessage(const std::string& message);

// Whether the main thread has given up on the device of task.
bool abandoned(DeviceTask* task);

// Records a completed round trip's (or batch's) time when it is the device's fastest so far, from which its stall
// limit is drawn; only the device's own thread calls it.
void noteRoundTrip(DeviceTask* task, std::chrono::steady_clock::duration took);

// Marks the device's timed loop as running (or not), for the health monitor, noting when it started.
void enterTimedLoop(DeviceTask* task);
void leaveTimedLoop(DeviceTask* task);

// Gives up on the device of task, which is stuck in call since insideSeconds ago, unless it has just finished: its
// outcome becomes that failure, with the identity it had published. True when it was given up on.
bool abandonDevice(DeviceTask* task, const char* call, double insideSeconds);

}  // namespace bench
