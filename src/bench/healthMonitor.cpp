// The monitor's thread: NVML loaded at run time, devices matched by UUID, readings, samples and Xid events.
#include "bench/healthMonitor.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "gpu/nvml/nvmlLibrary.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for an event lasts at most, so that a request to finish is noticed soon.
constexpr unsigned kEventWaitMilliseconds = 100;
// How often the monitor looks for a device that has entered its timed loop and not been sampled yet.
constexpr std::chrono::milliseconds kTimedLoopPoll{20};

// The reasons NVML reports, in ClockReason's order: bit i of NVML's mask is reason i.
constexpr std::uint64_t kKnownReasonBits = (std::uint64_t{1} << kClockReasons) - 1;

// Why a reading is missing: its function is not in the library, or what the function returned.
std::string whyMissing(const NvmlLibrary& library, bool present, nvml::Return status) {
    if (!present || status == nvml::kErrorNotSupported) {
        return "not supported";
    }
    return library.statusText(status);
}

// A reading through call(Value*), which returns NVML's status; present says whether its function exists.
template <typename Value, typename Call>
Reading<Value> readingOf(const NvmlLibrary& library, bool present, Call call) {
    Reading<Value> reading;
    if (!present) {
        reading.unavailable = whyMissing(library, false, nvml::kSuccess);
        return reading;
    }
    Value value{};
    const nvml::Return status = call(&value);
    if (status == nvml::kSuccess) {
        reading.value = value;
    } else {
        reading.unavailable = whyMissing(library, true, status);
    }
    return reading;
}

// The readings taken before and after the run.
HealthSnapshot snapshotOf(const NvmlLibrary& library, nvml::Device device) {
    const NvmlFunctions& f = library.functions();
    HealthSnapshot snapshot;
    snapshot.linkGeneration =
        readingOf<unsigned>(library, f.deviceGetCurrPcieLinkGeneration != nullptr,
                            [&](unsigned* v) { return f.deviceGetCurrPcieLinkGeneration(device, v); });
    snapshot.linkWidth = readingOf<unsigned>(library, f.deviceGetCurrPcieLinkWidth != nullptr,
                                             [&](unsigned* v) { return f.deviceGetCurrPcieLinkWidth(device, v); });
    snapshot.maxLinkGeneration =
        readingOf<unsigned>(library, f.deviceGetMaxPcieLinkGeneration != nullptr,
                            [&](unsigned* v) { return f.deviceGetMaxPcieLinkGeneration(device, v); });
    snapshot.maxLinkWidth = readingOf<unsigned>(library, f.deviceGetMaxPcieLinkWidth != nullptr,
                                                [&](unsigned* v) { return f.deviceGetMaxPcieLinkWidth(device, v); });
    snapshot.pcieReplays = readingOf<unsigned>(library, f.deviceGetPcieReplayCounter != nullptr,
                                               [&](unsigned* v) { return f.deviceGetPcieReplayCounter(device, v); });
    snapshot.eccEnabled = readingOf<bool>(library, f.deviceGetEccMode != nullptr, [&](bool* v) {
        nvml::EnableState current = nvml::kFeatureDisabled;
        nvml::EnableState pending = nvml::kFeatureDisabled;
        const nvml::Return status = f.deviceGetEccMode(device, &current, &pending);
        *v = current == nvml::kFeatureEnabled;
        return status;
    });
    // The counts mean something only with ECC on; with it off they are not there.
    const bool ecc = snapshot.eccEnabled.value.value_or(false);
    for (const auto& [type, reading] : {std::pair<nvml::MemoryErrorType, Reading<unsigned long long>*>{
                                            nvml::kMemoryErrorUncorrected, &snapshot.eccUncorrected},
                                        {nvml::kMemoryErrorCorrected, &snapshot.eccCorrected}}) {
        const nvml::MemoryErrorType errorType = type;
        *reading = readingOf<unsigned long long>(library, f.deviceGetTotalEccErrors != nullptr, [&](auto* v) {
            return ecc ? f.deviceGetTotalEccErrors(device, errorType, nvml::kVolatileEcc, v) : nvml::kErrorNotSupported;
        });
    }
    snapshot.remappedRows = readingOf<RemappedRows>(library, f.deviceGetRemappedRows != nullptr, [&](RemappedRows* v) {
        unsigned pending = 0;
        unsigned failure = 0;
        const nvml::Return status = f.deviceGetRemappedRows(device, &v->corrected, &v->uncorrected, &pending, &failure);
        v->pending = pending != 0;
        v->failure = failure != 0;
        return status;
    });
    snapshot.retiredPagesPending =
        readingOf<bool>(library, f.deviceGetRetiredPagesPendingStatus != nullptr, [&](bool* v) {
            nvml::EnableState pending = nvml::kFeatureDisabled;
            const nvml::Return status = f.deviceGetRetiredPagesPendingStatus(device, &pending);
            *v = pending == nvml::kFeatureEnabled;
            return status;
        });
    snapshot.powerLimitWatts = readingOf<double>(library, f.deviceGetEnforcedPowerLimit != nullptr, [&](double* v) {
        unsigned milliwatts = 0;
        const nvml::Return status = f.deviceGetEnforcedPowerLimit(device, &milliwatts);
        *v = milliwatts / 1000.0;
        return status;
    });
    snapshot.maxSmClockMhz = readingOf<unsigned>(library, f.deviceGetMaxClockInfo != nullptr, [&](unsigned* v) {
        return f.deviceGetMaxClockInfo(device, nvml::kClockSm, v);
    });
    snapshot.maxMemoryClockMhz = readingOf<unsigned>(library, f.deviceGetMaxClockInfo != nullptr, [&](unsigned* v) {
        return f.deviceGetMaxClockInfo(device, nvml::kClockMem, v);
    });
    return snapshot;
}

// Adds name and why to the unavailable readings, once.
void noteUnavailable(DeviceHealth* health, const std::string& name, const std::string& why) {
    for (const auto& [known, reason] : health->unavailableReadings) {
        if (known == name) {
            return;
        }
    }
    health->unavailableReadings.emplace_back(name, why);
}

// Every snapshot reading that could not be taken, by the report's name.
void noteUnavailable(DeviceHealth* health, const HealthSnapshot& snapshot) {
    const auto note = [&](const char* name, const std::string& why) {
        if (!why.empty()) {
            noteUnavailable(health, name, why);
        }
    };
    note("pcie_link_generation", snapshot.linkGeneration.unavailable);
    note("pcie_link_width", snapshot.linkWidth.unavailable);
    note("pcie_max_link_generation", snapshot.maxLinkGeneration.unavailable);
    note("pcie_max_link_width", snapshot.maxLinkWidth.unavailable);
    note("pcie_replay_count", snapshot.pcieReplays.unavailable);
    note("ecc_enabled", snapshot.eccEnabled.unavailable);
    note("ecc_uncorrected_volatile", snapshot.eccUncorrected.unavailable);
    note("ecc_corrected_volatile", snapshot.eccCorrected.unavailable);
    note("remapped_rows", snapshot.remappedRows.unavailable);
    note("retired_pages_pending", snapshot.retiredPagesPending.unavailable);
    note("power_limit_watts", snapshot.powerLimitWatts.unavailable);
    note("max_sm_clock_mhz", snapshot.maxSmClockMhz.unavailable);
    note("max_memory_clock_mhz", snapshot.maxMemoryClockMhz.unavailable);
}

// Whether the call a device's thread is inside moves data over the link.
bool transferring(const CallWatch* watch) {
    const char* call = watch != nullptr ? watch->call.load(std::memory_order_acquire) : nullptr;
    return call != nullptr && (std::strcmp(call, "cublasSetMatrix") == 0 || std::strcmp(call, "cublasGetMatrix") == 0);
}

}  // namespace

// What the monitor's thread and the main thread share; the thread keeps it alive as long as it runs.
class HealthMonitorState {
public:
    std::vector<MonitoredDevice> devices;
    double intervalSeconds = 0.0;        // between two samples
    double seriesIntervalSeconds = 0.0;  // one interval of the rate series; 0: none
    Clock::time_point runStarted;

    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    bool stopRequested = false;
    bool done = false;
    NvmlStatus status;
    std::vector<DeviceHealth> health;

    double secondsSinceStart() const {
        return std::chrono::duration<double>(Clock::now() - runStarted).count();
    }

    void run();

private:
    // Samples each device in its timed loop whose sample is due; returns when the next one falls due.
    Clock::time_point sampleDue(const NvmlLibrary& library, const std::vector<nvml::Device>& handles,
                                std::vector<std::optional<Clock::time_point>>& nextSample);
    void sample(const NvmlLibrary& library, std::size_t slot, nvml::Device handle);
    void waitForEvents(const NvmlLibrary& library, nvml::EventSet events, const std::vector<nvml::Device>& handles,
                       Clock::time_point until);
    bool stopping() {
        const std::lock_guard<std::mutex> lock(mutex);
        return stopRequested;
    }
    // Adds a sample to the interval of the device's series it falls in, closing the one before when it is another.
    // Needs the lock.
    void addToSeries(std::size_t slot, const HealthSample& sample);
    // Closes every device's open interval. Needs the lock.
    void closeSeries();

    // Used by the monitor's thread alone: each device's open interval of the series and its index (-1: none).
    std::vector<IntervalSampler> openIntervals;
    std::vector<long> openIndex;
};

void HealthMonitorState::addToSeries(std::size_t slot, const HealthSample& sample) {
    const std::atomic<std::int64_t>* started = devices[slot].timedLoopStartNanoseconds;
    const std::int64_t start = started != nullptr ? started->load() : 0;
    if (seriesIntervalSeconds <= 0.0 || start == 0) {
        return;
    }
    const double since = static_cast<double>(callWatchClockNanoseconds() - start) * 1e-9;
    const long index = static_cast<long>(std::max(0.0, since) / seriesIntervalSeconds);
    if (openIndex[slot] >= 0 && openIndex[slot] != index) {
        std::vector<IntervalReadings>& series = health[slot].intervals;
        series.resize(std::max(series.size(), static_cast<std::size_t>(openIndex[slot]) + 1));
        series[static_cast<std::size_t>(openIndex[slot])] = openIntervals[slot].close();
    }
    openIndex[slot] = index;
    openIntervals[slot].add(sample);
}

void HealthMonitorState::closeSeries() {
    for (std::size_t slot = 0; slot < openIndex.size(); ++slot) {
        if (openIndex[slot] >= 0) {
            std::vector<IntervalReadings>& series = health[slot].intervals;
            series.resize(std::max(series.size(), static_cast<std::size_t>(openIndex[slot]) + 1));
            series[static_cast<std::size_t>(openIndex[slot])] = openIntervals[slot].close();
            openIndex[slot] = -1;
        }
    }
}

void HealthMonitorState::run() {
    openIntervals.resize(devices.size());
    openIndex.assign(devices.size(), -1);
    NvmlLibrary library = openNvml();
    const NvmlFunctions& f = library.functions();
    std::vector<DeviceHealth> found(devices.size());
    std::vector<nvml::Device> handles(devices.size(), nullptr);
    NvmlStatus nvmlStatus;
    bool initialised = false;
    if (!library.loaded()) {
        nvmlStatus.problem = library.failure();
    } else {
        nvmlStatus.library = library.path();
        const nvml::Return status = f.init();
        if (status != nvml::kSuccess) {
            nvmlStatus.problem = "nvmlInit_v2: " + library.statusText(status);
        } else {
            initialised = true;
            nvmlStatus.loaded = true;
            char version[nvml::kSystemDriverVersionBufferSize] = "";
            if (f.systemGetDriverVersion != nullptr &&
                f.systemGetDriverVersion(version, sizeof version) == nvml::kSuccess) {
                nvmlStatus.driverVersion = version;
            }
        }
    }
    nvml::EventSet events = nullptr;
    if (initialised && f.eventSetCreate != nullptr && f.deviceRegisterEvents != nullptr && f.eventSetWait != nullptr &&
        f.eventSetCreate(&events) != nvml::kSuccess) {
        events = nullptr;
    }
    for (std::size_t slot = 0; slot < devices.size(); ++slot) {
        DeviceHealth& health = found[slot];
        health.sampleIntervalSeconds = intervalSeconds;
        if (!initialised) {
            health.unavailable = nvmlStatus.problem;
            continue;
        }
        if (devices[slot].uuid.empty()) {
            health.unavailable = "the device could not be described, so it has no UUID to find it by";
            continue;
        }
        const nvml::Return status = f.deviceGetHandleByUuid != nullptr
                                        ? f.deviceGetHandleByUuid(devices[slot].uuid.c_str(), &handles[slot])
                                        : nvml::kErrorNotSupported;
        if (status != nvml::kSuccess) {
            handles[slot] = nullptr;
            health.unavailable = "no NVML device with UUID " + devices[slot].uuid + ": " + library.statusText(status);
            continue;
        }
        health.matched = true;
        unsigned long long supported = nvml::kEventTypeXidCriticalError;
        if (f.deviceGetSupportedEventTypes != nullptr &&
            f.deviceGetSupportedEventTypes(handles[slot], &supported) != nvml::kSuccess) {
            supported = 0;
        }
        nvml::Return registered = nvml::kErrorNotSupported;
        if (events != nullptr && (supported & nvml::kEventTypeXidCriticalError) != 0) {
            registered = f.deviceRegisterEvents(handles[slot], nvml::kEventTypeXidCriticalError, events);
        }
        if (registered != nvml::kSuccess) {
            noteUnavailable(&health, "xid_events", whyMissing(library, events != nullptr, registered));
        }
        health.before = snapshotOf(library, handles[slot]);
        noteUnavailable(&health, health.before);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        status = nvmlStatus;
        health = std::move(found);
        ready = true;
    }
    changed.notify_all();

    // Each device is sampled as soon as it enters its timed loop and every interval after, so a run shorter than
    // one interval still has a sample of each device under load.
    std::vector<std::optional<Clock::time_point>> nextSample(devices.size());
    while (initialised && !stopping()) {
        Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        if (intervalSeconds > 0.0) {
            until = sampleDue(library, handles, nextSample);
        }
        waitForEvents(library, events, handles, until);
    }

    {
        const std::lock_guard<std::mutex> lock(mutex);
        closeSeries();
    }
    if (initialised) {
        for (std::size_t slot = 0; slot < handles.size(); ++slot) {
            if (handles[slot] != nullptr) {
                const HealthSnapshot after = snapshotOf(library, handles[slot]);
                const std::lock_guard<std::mutex> lock(mutex);
                health[slot].after = after;
                noteUnavailable(&health[slot], after);
            }
        }
        if (events != nullptr) {
            f.eventSetFree(events);
        }
        f.shutdown();
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
}

Clock::time_point HealthMonitorState::sampleDue(const NvmlLibrary& library, const std::vector<nvml::Device>& handles,
                                                std::vector<std::optional<Clock::time_point>>& nextSample) {
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(intervalSeconds));
    Clock::time_point until = Clock::now() + kTimedLoopPoll;
    for (std::size_t slot = 0; slot < handles.size(); ++slot) {
        const MonitoredDevice& device = devices[slot];
        if (handles[slot] == nullptr || device.inTimedLoop == nullptr || !device.inTimedLoop->load()) {
            continue;
        }
        if (!nextSample[slot] || Clock::now() >= *nextSample[slot]) {
            sample(library, slot, handles[slot]);
            // A late sample moves the schedule rather than crowding the ones it missed into a burst.
            nextSample[slot] = std::max(nextSample[slot].value_or(Clock::now()) + interval, Clock::now());
        }
        until = std::min(until, *nextSample[slot]);
    }
    return until;
}

void HealthMonitorState::sample(const NvmlLibrary& library, std::size_t slot, nvml::Device handle) {
    const NvmlFunctions& f = library.functions();
    {
        const MonitoredDevice& device = devices[slot];
        HealthSample sample;
        sample.atSeconds = secondsSinceStart();
        sample.underLoad = device.transfersLoadTheLink && transferring(device.watch);
        sample.roundTripsDone = device.timedRoundTrips != nullptr ? device.timedRoundTrips->load() : 0;
        std::vector<std::pair<std::string, std::string>> missing;
        const auto take = [&](const char* name, bool present, auto call, auto* into, auto convert) {
            unsigned raw = 0;
            const nvml::Return status = present ? call(&raw) : nvml::kErrorNotSupported;
            if (present && status == nvml::kSuccess) {
                *into = convert(raw);
            } else {
                missing.emplace_back(name, whyMissing(library, present, status));
            }
        };
        const auto asIs = [](unsigned raw) { return static_cast<double>(raw); };
        take(
            "temperature_celsius", f.deviceGetTemperature != nullptr,
            [&](unsigned* v) { return f.deviceGetTemperature(handle, nvml::kTemperatureGpu, v); },
            &sample.temperatureCelsius, asIs);
        take(
            "power_watts", f.deviceGetPowerUsage != nullptr,
            [&](unsigned* v) { return f.deviceGetPowerUsage(handle, v); }, &sample.powerWatts,
            [](unsigned raw) { return raw / 1000.0; });
        take(
            "sm_clock_mhz", f.deviceGetClockInfo != nullptr,
            [&](unsigned* v) { return f.deviceGetClockInfo(handle, nvml::kClockSm, v); }, &sample.smClockMhz, asIs);
        take(
            "memory_clock_mhz", f.deviceGetClockInfo != nullptr,
            [&](unsigned* v) { return f.deviceGetClockInfo(handle, nvml::kClockMem, v); }, &sample.memoryClockMhz,
            asIs);
        take(
            "pcie_link_generation", f.deviceGetCurrPcieLinkGeneration != nullptr,
            [&](unsigned* v) { return f.deviceGetCurrPcieLinkGeneration(handle, v); }, &sample.linkGeneration,
            [](unsigned raw) { return raw; });
        take(
            "pcie_link_width", f.deviceGetCurrPcieLinkWidth != nullptr,
            [&](unsigned* v) { return f.deviceGetCurrPcieLinkWidth(handle, v); }, &sample.linkWidth,
            [](unsigned raw) { return raw; });
        unsigned long long reasons = 0;
        const nvml::Return reasonStatus = f.deviceGetCurrentClocksEventReasons != nullptr
                                              ? f.deviceGetCurrentClocksEventReasons(handle, &reasons)
                                              : nvml::kErrorNotSupported;
        if (reasonStatus == nvml::kSuccess) {
            sample.reasons = reasons & kKnownReasonBits;
        } else {
            missing.emplace_back("clocks_event_reasons",
                                 whyMissing(library, f.deviceGetCurrentClocksEventReasons != nullptr, reasonStatus));
        }
        const std::lock_guard<std::mutex> lock(mutex);
        health[slot].during.add(sample);
        addToSeries(slot, sample);
        for (const auto& [name, why] : missing) {
            noteUnavailable(&health[slot], name, why);
        }
    }
}

void HealthMonitorState::waitForEvents(const NvmlLibrary& library, nvml::EventSet events,
                                       const std::vector<nvml::Device>& handles, Clock::time_point until) {
    const NvmlFunctions& f = library.functions();
    while (Clock::now() < until && !stopping()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        const auto milliseconds = static_cast<unsigned>(std::clamp<long long>(left, 1, kEventWaitMilliseconds));
        if (events == nullptr) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return stopRequested; });
            continue;
        }
        nvml::EventData data{};
        const nvml::Return status = f.eventSetWait(events, &data, milliseconds);
        if (status == nvml::kSuccess && (data.eventType & nvml::kEventTypeXidCriticalError) != 0) {
            for (std::size_t slot = 0; slot < handles.size(); ++slot) {
                if (handles[slot] != nullptr && handles[slot] == data.device) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    DeviceHealth& health = this->health[slot];
                    ++health.xidCount;
                    if (health.xids.size() < kRecordedXids) {
                        health.xids.push_back(XidError{data.eventData, secondsSinceStart()});
                    }
                }
            }
        } else if (status != nvml::kSuccess && status != nvml::kErrorTimeout) {
            // A wait that fails at once would turn this loop into a spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
    }
}

HealthMonitor::HealthMonitor(std::vector<MonitoredDevice> devices, double sampleIntervalSeconds,
                             std::chrono::steady_clock::time_point runStarted, double intervalSeconds)
    : state_(std::make_shared<HealthMonitorState>()) {
    state_->devices = std::move(devices);
    state_->intervalSeconds = sampleIntervalSeconds;
    state_->seriesIntervalSeconds = intervalSeconds;
    state_->runStarted = runStarted;
    std::thread([state = state_] { state->run(); }).detach();
}

HealthMonitor::~HealthMonitor() {
    if (!finished_) {
        finish(std::chrono::seconds(10));
    }
}

bool HealthMonitor::waitReady(std::chrono::steady_clock::duration timeout) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->ready; });
}

std::vector<DeviceHealth> HealthMonitor::finish(std::chrono::steady_clock::duration timeout) {
    finished_ = true;
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopRequested = true;
    state_->changed.notify_all();
    const bool done = state_->changed.wait_for(lock, timeout, [&] { return state_->done; });
    if (done) {
        return state_->health;
    }
    leftBehind_ = true;
    std::vector<DeviceHealth> health(state_->devices.size());
    for (DeviceHealth& device : health) {
        device.unavailable = "NVML did not answer";
    }
    return health;
}

NvmlStatus HealthMonitor::status() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->status;
}

}  // namespace bench
