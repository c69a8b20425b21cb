// kavrel-bench's run sequence: options, device, context, data, reference, warm-up, timed loop, check, release,
// report.
#include "companion/runCompanion.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "common/platform.h"
#include "companion/benchReport.h"
#include "companion/reportJson.h"
#include "companion/reportTable.h"
#include "companion/timedRuns.h"
#include "gpu/deviceInfo.h"
#include "run/runStages.h"

namespace {

// Prepares the device, the context and the data into state, filling the device and library fields of report.
StageResult prepareRun(const BenchOptions& options, RunState* state, BenchReport* report) {
    StageResult result = selectDevice(firstDevice(options));
    if (result.succeeded) {
        result = describeDevice(firstDevice(options), &report->device);
    }
    if (result.succeeded) {
        result = createLibraryContext(&state->context);
    }
    if (result.succeeded) {
        result = readLibraryVersion(state->context, &state->version);
        report->libraryVersion = state->version;
    }
    if (result.succeeded) {
        result = fillTestMatrices(state->shape, &state->host);
    }
    if (result.succeeded) {
        referenceSgemm(state->shape, state->alpha, state->host.hostA, state->host.hostB, state->beta,
                       state->host.hostRef);
        result = allocateDeviceMatrices(state->shape, &state->device);
    }
    return result;
}

// Runs the warm-up and the timed loop, checks the last product and releases everything the run holds, filling
// the timing and check fields of report. The timings live in buffers, which the caller releases.
StageResult measureAndCheck(const BenchOptions& options, RunState* state, TimingBuffers* buffers, BenchReport* report) {
    StageResult result = allocateTimingBuffers(options.iterations, options.phases, buffers);
    if (result.succeeded) {
        result = runWarmup(*state, options.warmup);
    }
    double totalSeconds = 0.0;
    if (result.succeeded) {
        const bool showProgress = !options.json && standardErrorIsTerminal();
        result = runTimedLoop(*state, options.phases, showProgress, buffers, &totalSeconds);
    }
    if (!result.succeeded) {
        return result;
    }
    report->timing = summariseTimings(buffers, totalSeconds);
    report->error = relativeL2Error(state->shape, state->host.hostC, state->host.hostRef);
    report->passed = checkPasses(report->error);
    return releaseResources(state);
}

}  // namespace

int runCompanion(int argc, char** argv) {
    BenchReport report{};
    switch (parseBenchOptions(argc, argv, std::cout, std::cerr, &report.options)) {
        case ParseOutcome::run:
            break;
        case ParseOutcome::answered:
            return kExitPassed;
        case ParseOutcome::usageError:
            return kExitUsage;
    }

    RunState state;
    TimingBuffers buffers;
    StageResult result = prepareRun(report.options, &state, &report);
    if (result.succeeded) {
        result = measureAndCheck(report.options, &state, &buffers, &report);
    }
    releaseTimingBuffers(&buffers);
    if (!result.succeeded) {
        reportFailure(result.failureMessage);
        return kExitRunFailed;
    }

    const std::string text = report.options.json ? reportJson(report) : reportTable(report);
    std::fputs(text.c_str(), stdout);
    if (report.error.referenceNormIsZero) {
        reportFailure("!!!! reference norm is 0\n");
    }
    return completedRunStatus(report);
}
