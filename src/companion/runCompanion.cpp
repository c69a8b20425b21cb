// kavrel-bench's run sequence: options, devices, one thread per device meeting at two gates, the shared
// reference, the progress line, the report and the exit status.
#include "companion/runCompanion.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "companion/benchReport.h"
#include "companion/deviceRun.h"
#include "companion/outputStream.h"
#include "companion/progressLine.h"
#include "companion/reportJson.h"
#include "companion/reportTable.h"
#include "companion/sharedReference.h"
#include "gpu/deviceInfo.h"
#include "run/reportFailure.h"

namespace {

// The host's name, or "unknown" when it cannot be read.
std::string hostName() {
    char name[256];
    return readHostName(name, sizeof name) ? std::string(name) : std::string("unknown");
}

// The device indices the options name: every device the runtime sees, or the listed ones.
StageResult resolveDevices(const BenchOptions& options, std::vector<int>* devices) {
    if (!options.allDevices) {
        *devices = options.devices;
        return stageSucceeded();
    }
    int count = 0;
    const StageResult result = countDevices(&count);
    for (int device = 0; device < count && result.succeeded; ++device) {
        devices->push_back(device);
    }
    if (result.succeeded && devices->empty()) {
        return stageFailed("!!!! device selection error (no device)\n");
    }
    return result;
}

// Keeps the progress line up to date from the main thread until every device thread has finished, so that
// drawing it never falls inside a device's timed span; then joins the threads.
void followProgress(SharedRun* shared, std::vector<std::thread>* threads, bool showProgress,
                    std::chrono::steady_clock::time_point opened) {
    if (showProgress) {
        const BenchOptions& options = shared->options;
        const long total = static_cast<long>(options.iterations) * static_cast<long>(threads->size());
        ProgressLine progress = startProgress(true, total, options.durationSeconds, opened);
        while (shared->finishedDevices.load() < static_cast<int>(threads->size())) {
            std::this_thread::sleep_for(kProgressRedrawInterval / 2);
            updateProgress(&progress, shared->roundTrips.load(std::memory_order_relaxed),
                           std::chrono::steady_clock::now());
        }
        clearProgress(&progress);
    }
    for (std::thread& thread : *threads) {
        thread.join();
    }
}

}  // namespace

int runCompanion(int argc, char** argv) {
    BenchOptions options{};
    switch (parseBenchOptions(argc, argv, std::cout, std::cerr, &options)) {
        case ParseOutcome::run:
            break;
        case ParseOutcome::answered:
            return kExitPassed;
        case ParseOutcome::usageError:
            return kExitUsage;
    }

    const std::int64_t started = readCalendarClock();
    std::vector<int> devices;
    const StageResult resolved = resolveDevices(options, &devices);
    if (!resolved.succeeded) {
        reportFailure(resolved.failureMessage);
        return kExitRunFailed;
    }

    SharedRun shared(options, static_cast<int>(devices.size()));
    std::vector<DeviceOutcome> outcomes(devices.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        outcomes[i].device = devices[i];
        threads.emplace_back(runDevice, &shared, &outcomes[i]);
    }

    // The reference is computed only once every device has shown that its matrices fit, so that a size too
    // large for the devices fails before the host allocates anything for it.
    shared.prepared.waitForAll();
    bool anyPrepared = false;
    for (const DeviceOutcome& outcome : outcomes) {
        anyPrepared = anyPrepared || !outcome.failed;
    }
    std::unique_ptr<float[]> reference;
    if (anyPrepared) {
        reference = computeSharedReference(shared.shape, 1.0f, 0.0f);
    }
    shared.reference = reference.get();
    const bool hostReady = anyPrepared && reference != nullptr;
    shared.prepared.open(hostReady);
    shared.started.waitForAll();
    shared.started.open(hostReady);
    followProgress(&shared, &threads, hostReady && !options.json && standardErrorIsTerminal(),
                   std::chrono::steady_clock::now());

    if (anyPrepared && reference == nullptr) {
        reportFailure("!!!! host memory allocation error (reference)\n");
        return kExitRunFailed;
    }
    BenchReport report = summariseRun(options, &outcomes);
    report.nodeName = options.nodeName.empty() ? hostName() : options.nodeName;
    char startTime[32] = "";
    formatUtcTime(started, startTime, sizeof startTime);
    report.startTime = startTime;
    for (const DeviceReport& device : report.devices) {
        if (device.failed) {
            reportFailure(deviceFailureLine(device).c_str());
        }
    }
    if (report.node.failedDevices == report.node.devices) {
        return kExitRunFailed;
    }
    if (!writeReport(stdout, options.json ? reportJson(report) : reportTable(report))) {
        reportFailure(kOutputWriteError);
        return kExitOutputFailed;
    }
    for (const DeviceReport& device : report.devices) {
        if (!device.failed && device.verification.firstError.referenceNormIsZero) {
            reportFailure(("!!!! device " + std::to_string(device.index) + ": reference norm is 0\n").c_str());
        }
    }
    return runStatus(report);
}
