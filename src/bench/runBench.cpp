// kavrel-bench's run sequence: options, devices, one thread per device meeting at two gates under the main thread's
// watch, the shared reference, the progress line, the report and the exit status.
#include "bench/runBench.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/benchReport.h"
#include "bench/deviceRun.h"
#include "bench/exitStatus.h"
#include "bench/healthMonitor.h"
#include "bench/outputStream.h"
#include "bench/progressLine.h"
#include "bench/reportJson.h"
#include "bench/reportPrometheus.h"
#include "bench/reportTable.h"
#include "bench/sharedReference.h"
#include "bench/watchdog.h"
#include "common/platform.h"
#include "gpu/deviceInfo.h"
#include "report/expectations.h"
#include "run/reportFailure.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Tasks = std::vector<std::shared_ptr<DeviceTask>>;

// How often the main thread looks at the devices while it waits for them.
constexpr std::chrono::milliseconds kWatchInterval{50};

// The host's name, or "unknown" when it cannot be read.
std::string hostName() {
    char name[256];
    return readHostName(name, sizeof name) ? std::string(name) : std::string("unknown");
}

// The device indices the options name (every device the runtime sees, or the listed ones), and the runtime's device
// count into visible when it was asked for it (for --devices all or --expect-devices).
StageResult resolveDevices(const BenchOptions& options, std::vector<int>* devices, int* visible) {
    if (options.allDevices || options.expectDevices > 0) {
        int count = 0;
        const StageResult result = countDevices(&count);
        if (!result.succeeded) {
            return result;
        }
        *visible = count;
        if (options.allDevices) {
            for (int device = 0; device < count; ++device) {
                devices->push_back(device);
            }
        }
    }
    if (!options.allDevices) {
        *devices = options.devices;
    }
    if (devices->empty()) {
        return stageFailed("!!!! device selection error (no device)\n");
    }
    return stageSucceeded();
}

// Whether the device's thread has handed over its outcome or been given up on.
bool settled(DeviceTask* task) {
    const std::lock_guard<std::mutex> lock(task->mutex);
    return task->finished || task->abandoned;
}

// The main thread's watch over the devices while it waits for something.
class Supervisor {
public:
    Supervisor(SharedRun* shared, const Tasks* tasks, Clock::time_point runStarted)
        : shared_(shared), tasks_(tasks), runStarted_(runStarted) {}

    // Watches until done() holds, looking at the devices every kWatchInterval (wait blocks up to that long for
    // something done() depends on) and redrawing progress when it is given.
    template <typename Wait, typename Done>
    void watchUntil(Wait wait, Done done, ProgressLine* progress = nullptr) {
        while (!done()) {
            wait(kWatchInterval);
            look();
            if (progress != nullptr) {
                updateProgress(progress, shared_->roundTrips.load(std::memory_order_relaxed), Clock::now());
            }
        }
    }

    bool leftThreadsBehind() const {
        return leftBehind_;
    }

    const Interruption& interruption() const {
        return interruption_;
    }

private:
    // Notes an interruption, and gives up on every device stuck in a call past its limit.
    void look() {
        const int signal = interruptSignal();
        if (signal != 0 && interruption_.signal == 0) {
            interruption_.signal = signal;
            interruption_.afterSeconds = std::chrono::duration<double>(Clock::now() - runStarted_).count();
            shared_->stopRequested.store(true);
        }
        const std::int64_t now = callWatchClockNanoseconds();
        for (const std::shared_ptr<DeviceTask>& task : *tasks_) {
            const char* call = task->watch.call.load(std::memory_order_acquire);
            if (call == nullptr) {
                continue;
            }
            const double inside =
                static_cast<double>(now - task->watch.enteredNanoseconds.load(std::memory_order_relaxed)) * 1e-9;
            const double limit = stallLimitSeconds(shared_->options.stallTimeoutSeconds,
                                                   task->fastestRoundTripSeconds.load(), shared_->stopRequested.load());
            if (isStalled(inside, limit) && abandonDevice(task.get(), call, inside)) {
                // Nobody waits at a gate for a device that will not come.
                shared_->prepared.arrive(task->slot);
                shared_->started.arrive(task->slot);
                leftBehind_ = true;
            }
        }
    }

    SharedRun* shared_;
    const Tasks* tasks_;
    Clock::time_point runStarted_;
    Interruption interruption_;
    bool leftBehind_ = false;
};

// Runs every device's thread to its end or until it is given up on; fills outcomes and returns the supervisor's
// findings. Null reference memory ends it early with referenceMissing set.
struct DeviceRuns {
    std::vector<DeviceOutcome> outcomes;
    Interruption interruption;
    NvmlStatus nvml;
    bool leftThreadsBehind = false;
    bool referenceMissing = false;
};

// How long the health monitor may take to load NVML and take its first readings, and to take its last ones, before
// the run goes on without them.
constexpr std::chrono::seconds kHealthMonitorPatience{15};

// What the health monitor is to watch of each device: its UUID, once described, and what its thread publishes.
std::vector<MonitoredDevice> monitoredDevices(const Tasks& tasks, Workload workload) {
    std::vector<MonitoredDevice> devices;
    for (const std::shared_ptr<DeviceTask>& task : tasks) {
        MonitoredDevice device;
        {
            const std::lock_guard<std::mutex> lock(task->mutex);
            if (task->outcome.described) {
                device.uuid = task->outcome.description.uuid;
            }
        }
        device.watch = &task->watch;
        device.transfersLoadTheLink = workload == Workload::roundTrip;
        device.inTimedLoop = &task->inTimedLoop;
        device.timedRoundTrips = &task->timedRoundTrips;
        device.timedLoopStartNanoseconds = &task->timedLoopStartNanoseconds;
        devices.push_back(device);
    }
    return devices;
}

// However runDevices ends, even by an exception, no device thread is left waiting at a gate and no joinable thread
// is destroyed (which would end the process): threads still joinable at the end are let go.
struct ThreadsGuard {
    SharedRun* shared;
    std::vector<std::thread>* threads;
    ~ThreadsGuard() {
        bool anyLeft = false;
        for (const std::thread& thread : *threads) {
            anyLeft = anyLeft || thread.joinable();
        }
        if (!anyLeft) {
            return;
        }
        shared->stopRequested.store(true);
        shared->prepared.open(false);
        shared->started.open(false);
        for (std::thread& thread : *threads) {
            if (thread.joinable()) {
                thread.detach();
            }
        }
    }
};

DeviceRuns runDevices(const BenchOptions& options, const std::vector<int>& devices, Clock::time_point runStarted) {
    auto shared = std::make_shared<SharedRun>(options, static_cast<int>(devices.size()));
    if (options.durationSeconds > 0.0) {
        shared->deadline = runStarted + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.durationSeconds));
    }
    Tasks tasks;
    std::vector<std::thread> threads;
    threads.reserve(devices.size());
    const ThreadsGuard guard{shared.get(), &threads};
    for (std::size_t slot = 0; slot < devices.size(); ++slot) {
        tasks.push_back(std::make_shared<DeviceTask>(static_cast<int>(slot), devices[slot]));
        threads.emplace_back(runDevice, shared, tasks.back());
    }
    Supervisor supervisor(shared.get(), &tasks, runStarted);
    const auto waitNothing = [](Clock::duration interval) { std::this_thread::sleep_for(interval); };

    // The reference is computed only once every device has shown that its matrices fit, so that a size too large
    // for the devices fails before the host allocates anything for it.
    bool everyonePrepared = false;
    supervisor.watchUntil([&](Clock::duration interval) { everyonePrepared = shared->prepared.waitForAll(interval); },
                          [&] { return everyonePrepared; });
    bool anyPrepared = false;
    for (const std::shared_ptr<DeviceTask>& task : tasks) {
        anyPrepared = anyPrepared || task->prepared.load();
    }
    // NVML loads and takes its first readings while the reference is computed and the devices warm up.
    HealthMonitor monitor(monitoredDevices(tasks, options.workload), options.sampleIntervalSeconds, runStarted,
                          options.workload == Workload::resident ? options.intervalSeconds : 0.0);
    DeviceRuns runs;
    if (anyPrepared) {
        std::unique_ptr<float[]> reference = computeSharedReference(shared->shape, 1.0f, 0.0f);
        runs.referenceMissing = reference == nullptr;
        shared->reference = std::move(reference);
    }
    const bool goOn = anyPrepared && !runs.referenceMissing;
    shared->prepared.open(goOn);
    bool everyoneStarted = false;
    supervisor.watchUntil([&](Clock::duration interval) { everyoneStarted = shared->started.waitForAll(interval); },
                          [&] { return everyoneStarted; });
    // The readings before the run come before the timed loops, unless NVML does not answer in time.
    const Clock::time_point patience = Clock::now() + kHealthMonitorPatience;
    bool monitorReady = false;
    supervisor.watchUntil([&](Clock::duration interval) { monitorReady = monitor.waitReady(interval); },
                          [&] { return monitorReady || Clock::now() >= patience; });
    shared->started.open(goOn);

    // The progress line is drawn from this thread, so that drawing it never falls inside a device's timed span.
    const bool showProgress = goOn && !options.json && standardErrorIsTerminal();
    const long total = static_cast<long>(options.iterations) * static_cast<long>(devices.size());
    const double secondsLeft =
        options.durationSeconds > 0.0 ? std::chrono::duration<double>(shared->deadline - Clock::now()).count() : 0.0;
    ProgressLine progress = startProgress(showProgress, total, secondsLeft, Clock::now());
    supervisor.watchUntil(
        waitNothing,
        [&] {
            for (const std::shared_ptr<DeviceTask>& task : tasks) {
                if (!settled(task.get())) {
                    return false;
                }
            }
            return true;
        },
        &progress);
    clearProgress(&progress);

    std::vector<DeviceHealth> health = monitor.finish(kHealthMonitorPatience);
    runs.nvml = monitor.status();
    for (std::size_t slot = 0; slot < tasks.size(); ++slot) {
        const std::lock_guard<std::mutex> lock(tasks[slot]->mutex);
        runs.outcomes.push_back(tasks[slot]->outcome);
        runs.outcomes.back().health = std::move(health[slot]);
        // A thread stuck in a driver call can be neither joined nor cancelled; it goes on alone.
        if (tasks[slot]->abandoned) {
            threads[slot].detach();
        }
    }
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    runs.interruption = supervisor.interruption();
    runs.leftThreadsBehind = supervisor.leftThreadsBehind() || monitor.leftBehind();
    return runs;
}

// The report's node name, start and length, from when the run started on the calendar and the steady clock.
void stampReport(const BenchOptions& options, std::int64_t started, Clock::time_point runStarted, BenchReport* report) {
    report->nodeName = options.nodeName.empty() ? hostName() : options.nodeName;
    char startTime[32] = "";
    formatUtcTime(started, startTime, sizeof startTime);
    report->startTime = startTime;
    report->startSeconds = started;
    report->durationSeconds = std::chrono::duration<double>(Clock::now() - runStarted).count();
}

// Ends a run whose report (possibly without devices) is stamped: writes the Prometheus file when --prometheus names
// one, whatever the status, after everything else. A file that cannot be written is reported on standard error and
// turns only a passing status into kExitOutputFailed, so that the run's own failure keeps its status.
BenchRun endRun(const BenchReport& report, int status, bool leftThreadsBehind) {
    const std::string& path = report.options.prometheusFile;
    std::string problem;
    if (!path.empty() && !writePrometheusFile(report, status, path, &problem)) {
        reportFailure(prometheusFailureLine(path, problem).c_str());
        status = status == kExitPassed ? kExitOutputFailed : status;
    }
    return BenchRun{status, leftThreadsBehind};
}

// Everything after the options, as runBench describes it.
BenchRun runWithOptions(const BenchOptions& options) {
    const std::int64_t started = readCalendarClock();
    const Clock::time_point runStarted = Clock::now();
    report::ExpectationFile expectations;
    if (!options.expectFile.empty()) {
        expectations = report::readExpectations(options.expectFile);
        if (!expectations.problem.empty()) {
            std::cerr << "--expect: " << options.expectFile << ": " << expectations.problem << "\n"
                      << "Run with --help for more information.\n";
            return BenchRun{kExitUsage, false};
        }
    }
    std::vector<int> devices;
    int visible = -1;
    // A run that fails before any device ran still replaces the last run's figures, with none of its own.
    std::vector<DeviceOutcome> none;
    const StageResult resolved = resolveDevices(options, &devices, &visible);
    if (!resolved.succeeded) {
        reportFailure(resolved.failureMessage);
        BenchReport empty = summariseRun(options, &none, visible);
        stampReport(options, started, runStarted, &empty);
        return endRun(empty, kExitRunFailed, false);
    }

    DeviceRuns runs = runDevices(options, devices, runStarted);
    if (runs.referenceMissing) {
        reportFailure("!!!! host memory allocation error (reference)\n");
        BenchReport empty = summariseRun(options, &none, visible);
        stampReport(options, started, runStarted, &empty);
        return endRun(empty, kExitRunFailed, runs.leftThreadsBehind);
    }
    BenchReport report = summariseRun(options, &runs.outcomes, visible, expectations.expectations);
    report.interruption = runs.interruption;
    report.nvml = runs.nvml;
    stampReport(options, started, runStarted, &report);
    for (const DeviceReport& device : report.devices) {
        if (device.failure) {
            reportFailure(deviceFailureLine(device).c_str());
        }
    }
    const std::string missing = missingDevicesLine(report.node);
    if (!missing.empty()) {
        reportFailure(missing.c_str());
    }
    if (report.node.failedDevices == report.node.devices) {
        return endRun(report, kExitRunFailed, runs.leftThreadsBehind);
    }
    if (!writeReport(stdout, options.json ? reportJson(report) : reportTable(report))) {
        reportFailure(kOutputWriteError);
        return endRun(report, kExitOutputFailed, runs.leftThreadsBehind);
    }
    for (const DeviceReport& device : report.devices) {
        if (!device.failure && device.verification.firstError.referenceNormIsZero) {
            reportFailure(("!!!! device " + std::to_string(device.index) + ": reference norm is 0\n").c_str());
        }
    }
    return endRun(report, runStatus(report), runs.leftThreadsBehind);
}

}  // namespace

BenchRun runBench(int argc, char** argv) {
    BenchOptions options{};
    switch (parseBenchOptions(argc, argv, std::cout, std::cerr, &options)) {
        case ParseOutcome::run:
            break;
        case ParseOutcome::answered:
            return BenchRun{kExitPassed, false};
        case ParseOutcome::usageError:
            return BenchRun{kExitUsage, false};
    }
    // Host memory running out on the main thread (the reference, the report) is the run's failure, never an abort.
    try {
        return runWithOptions(options);
    } catch (const std::bad_alloc&) {
        reportFailure("!!!! host memory allocation error\n");
    } catch (const std::system_error&) {
        reportFailure("!!!! host thread error\n");
    }
    // Device threads may still be running: the process must end without tearing the libraries down under them.
    return BenchRun{kExitRunFailed, true};
}

}  // namespace bench
