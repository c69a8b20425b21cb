// The resident workload's stages on one device: set-up, warm-up, the timed batches of products checked on the
// device, and release.
#include "bench/residentRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "bench/productVerifier.h"
#include "gpu/residentProducts.h"
#include "run/runStages.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of product buffers one batch may fill.
constexpr double kResidentBatchBytes = 512.0 * 1024 * 1024;

// Everything the device's thread holds for the resident workload besides the run state.
struct ResidentHold {
    ResidentMatrices device;
    float* yardstick = nullptr;  // page-locked: the yardstick as downloaded, and what a differing product is checked by
    float* product = nullptr;    // page-locked: a product downloaded because its sum was not 0
    cudaEvent_t events[2 * kMaxResidentBatch] = {};  // before and after each SGEMM of a batch
    float sums[kMaxResidentBatch] = {};
};

// Host buffers, device buffers, the operands and scalars on the device, the events and the warm-up products, which
// stop early at the deadline or an interruption.
StageResult acquireAndWarmUp(const SharedRun& shared, RunState* state, ResidentHold* hold) {
    StageResult result = fillTestMatrices(state->shape, &state->host);
    if (result.succeeded) {
        result =
            allocatePageLockedMatrix(state->shape, "!!!! host memory allocation error (yardstick)\n", &hold->yardstick);
    }
    if (result.succeeded) {
        result =
            allocatePageLockedMatrix(state->shape, "!!!! host memory allocation error (product)\n", &hold->product);
    }
    if (result.succeeded) {
        result = allocateResidentMatrices(state->shape, residentBatch(state->shape), &hold->device);
    }
    if (result.succeeded) {
        result =
            prepareResidentOperands(state->context, state->shape, state->host.hostA, state->host.hostB, hold->device);
    }
    if (result.succeeded) {
        result = createEvents(hold->events, 2 * hold->device.batch);
    }
    int warmed = 0;
    for (; warmed < shared.options.warmup && result.succeeded; ++warmed) {
        if (shared.stopRequested.load() || Clock::now() >= shared.deadline) {
            break;
        }
        result = multiplyResident(state->context, state->shape, hold->device, hold->device.products[0]);
    }
    if (result.succeeded && warmed > 0) {
        result = readResidentSums(hold->device, 1, hold->sums);
    }
    return result;
}

// The products of one batch into the product buffers, each between its two events and compared with the
// yardstick after it (unless only the first product is checked); then the wait for them all, as the sums are read.
StageResult runBatch(const RunState& state, ResidentHold* hold, int count, bool compare) {
    StageResult result = stageSucceeded();
    for (int slot = 0; slot < count && result.succeeded; ++slot) {
        const std::ptrdiff_t first = 2 * static_cast<std::ptrdiff_t>(slot);
        result = recordEvent(hold->events[first]);
        if (result.succeeded) {
            result = multiplyResident(state.context, state.shape, hold->device, hold->device.products[slot]);
        }
        if (result.succeeded) {
            result = recordEvent(hold->events[first + 1]);
        }
        if (result.succeeded && compare) {
            result = compareResident(state.context, state.shape, hold->device, hold->device.products[slot], slot);
        }
    }
    if (result.succeeded) {
        result =
            compare ? readResidentSums(hold->device, count, hold->sums) : waitForEvent(hold->events[2 * count - 1]);
    }
    return result;
}

// A product judged against the host reference while none has passed: it is written into the yardstick buffer,
// downloaded and checked on the host; *sgemmSeconds is its SGEMM's time.
StageResult judgeFirst(const SharedRun& shared, const RunState& state, ResidentHold* hold, long iteration,
                       VerificationSummary* summary, double* sgemmSeconds) {
    StageResult result = recordEvent(hold->events[0]);
    if (result.succeeded) {
        result = multiplyResident(state.context, state.shape, hold->device, hold->device.yardstick);
    }
    if (result.succeeded) {
        result = recordEvent(hold->events[1]);
    }
    if (result.succeeded) {
        result = downloadProduct(state.shape, hold->device.yardstick, hold->yardstick);
    }
    if (result.succeeded) {
        result = secondsBetweenEvents(hold->events[0], hold->events[1], sgemmSeconds);
    }
    if (result.succeeded) {
        ++summary->verifiedProducts;
        judgeAgainstReference(state.shape, shared.reference.get(), hold->yardstick, iteration, summary);
    }
    return result;
}

// A product whose sum was not 0 (or NaN), downloaded from its buffer and compared with the yardstick on the host.
StageResult countDifference(const RunState& state, ResidentHold* hold, int slot, long iteration,
                            VerificationSummary* summary) {
    const StageResult result = downloadProduct(state.shape, hold->device.products[slot], hold->product);
    if (!result.succeeded) {
        return result;
    }
    Mismatch mismatch{iteration, false, 0, 0.0, 0.0f, false};
    mismatch.differingElements =
        compareProducts(state.shape, hold->yardstick, hold->product, &mismatch.largestDifference);
    mismatch.deviceCheckOnly = mismatch.differingElements == 0;
    recordMismatch(mismatch, summary);
    return result;
}

// Adds a batch's products and SGEMM time to the interval it ended in.
void noteInterval(DeviceOutcome* outcome, double intervalSeconds, double sinceStart, long products,
                  double sgemmSeconds) {
    const auto index = static_cast<std::size_t>(std::max(0.0, std::floor(sinceStart / intervalSeconds)));
    if (outcome->intervals.size() <= index) {
        outcome->intervals.resize(index + 1);
    }
    outcome->intervals[index].products += products;
    outcome->intervals[index].sgemmSeconds += sgemmSeconds;
}

// The timed loop from the moment the gate opened: a fixed count of products, or (duration) batches as long as they
// start before the deadline, at least one product. Products are judged against the host reference one at a time
// until one passes; after that they run in batches, compared on the device. Stops after the batch under way when
// the run is interrupted or the device is given up on.
StageResult runTimedLoop(SharedRun* shared, DeviceTask* task, const RunState& state, ResidentHold* hold,
                         Clock::time_point opened, DeviceOutcome* outcome) {
    const BenchOptions& options = shared->options;
    const bool forDuration = options.durationSeconds > 0.0;
    const bool compareAll = !options.checkFirstOnly;
    VerificationSummary summary;
    summary.threshold = relativeErrorThreshold(state.shape.order, options.math == MathMode::tf32);
    StageResult result = stageSucceeded();
    enterTimedLoop(task);
    const Clock::time_point loopStart = Clock::now();
    long done = 0;
    while (result.succeeded) {
        const bool finished = forDuration ? done > 0 && Clock::now() >= shared->deadline : done >= options.iterations;
        if (finished || (done > 0 && shared->stopRequested.load()) || abandoned(task)) {
            break;
        }
        const Clock::time_point start = Clock::now();
        int count = 1;
        std::vector<double> seconds(1, 0.0);
        if (summary.yardstickIteration == 0 && (compareAll || done == 0)) {
            result = judgeFirst(*shared, state, hold, done + 1, &summary, &seconds[0]);
        } else {
            count = forDuration ? hold->device.batch
                                : static_cast<int>(std::min<long>(hold->device.batch, options.iterations - done));
            result = runBatch(state, hold, count, compareAll && summary.yardstickIteration != 0);
            seconds.assign(static_cast<std::size_t>(count), 0.0);
            for (int slot = 0; slot < count && result.succeeded; ++slot) {
                const std::ptrdiff_t first = 2 * static_cast<std::ptrdiff_t>(slot);
                result = secondsBetweenEvents(hold->events[first], hold->events[first + 1], &seconds[slot]);
            }
            for (int slot = 0; slot < count && result.succeeded && compareAll && summary.yardstickIteration != 0;
                 ++slot) {
                ++summary.verifiedProducts;
                const float sum = hold->sums[slot];
                if (sum != 0.0f || std::isnan(sum)) {
                    result = countDifference(state, hold, slot, done + slot + 1, &summary);
                }
            }
        }
        if (!result.succeeded) {
            break;
        }
        double batchSeconds = 0.0;
        for (const double each : seconds) {
            outcome->iterationTimes.add(each);
            outcome->sgemmTimes.add(each);
            batchSeconds += each;
        }
        done += count;
        noteRoundTrip(task, Clock::now() - start);
        noteInterval(outcome, options.intervalSeconds, std::chrono::duration<double>(Clock::now() - loopStart).count(),
                     count, batchSeconds);
        shared->roundTrips.fetch_add(count, std::memory_order_relaxed);
        task->timedRoundTrips.fetch_add(count, std::memory_order_relaxed);
    }
    leaveTimedLoop(task);
    outcome->loopWallSeconds = std::chrono::duration<double>(Clock::now() - opened).count();
    outcome->verification = summary;
    return result;
}

// The events, device buffers, host buffers and the run state, in the order they were acquired backwards.
StageResult releaseResident(RunState* state, ResidentHold* hold) {
    StageResult result = destroyEvents(hold->events, 2 * kMaxResidentBatch);
    if (result.succeeded) {
        result = releaseResidentMatrices(&hold->device);
    }
    if (result.succeeded) {
        result = releaseResources(state);
    }
    freePageLockedMatrix(hold->product);
    freePageLockedMatrix(hold->yardstick);
    return result;
}

}  // namespace

int residentBatch(MatrixShape shape) {
    const double fits = std::floor(kResidentBatchBytes / static_cast<double>(storedBytes(shape)));
    return static_cast<int>(std::clamp(fits, 2.0, static_cast<double>(kMaxResidentBatch)));
}

void runResidentStages(SharedRun* shared, DeviceTask* task, RunState* state, DeviceOutcome* outcome) {
    ResidentHold hold;
    StageResult result = acquireAndWarmUp(*shared, state, &hold);
    if (!result.succeeded) {
        outcome->failure = failureOf(result);
    }
    shared->started.arrive(task->slot);
    Clock::time_point opened;
    if (!result.succeeded || !shared->started.waitOpen(&opened)) {
        return;
    }
    result = runTimedLoop(shared, task, *state, &hold, opened, outcome);
    if (result.succeeded && !abandoned(task)) {
        result = releaseResident(state, &hold);
    }
    if (!result.succeeded) {
        outcome->failure = failureOf(result);
    }
}

}  // namespace bench
