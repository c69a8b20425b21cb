// NVML's view of a run's devices, taken on a thread of its own that never touches a timed span: readings before and
// after the timed loops, samples at a fixed interval while they run, and Xid errors as the driver reports them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/deviceHealth.h"
#include "gpu/callWatch.h"

namespace bench {

// What the monitor reads of one device's thread.
struct MonitoredDevice {
    std::string uuid;                  // as the CUDA runtime gives it; empty when the device was not described
    const CallWatch* watch = nullptr;  // a transfer call under way means the link is under load
    // Whether the workload's transfers load the link: not the resident workload's, whose only transfers are sums
    // and differing products, and whose reading of the sums waits there for the SGEMMs with the link idle.
    bool transfersLoadTheLink = true;
    const std::atomic<bool>* inTimedLoop = nullptr;  // only samples taken meanwhile count
    const std::atomic<long>* timedRoundTrips = nullptr;
    // When the timed loop started, on callWatchClockNanoseconds' clock; the intervals count from it.
    const std::atomic<std::int64_t>* timedLoopStartNanoseconds = nullptr;
};

class HealthMonitorState;

// Watches the devices through NVML from construction to finish. The thread loads NVML (the backend's library, or
// KAVREL_NVML_LIBRARY) and initialises it, matches each device by its UUID, never by index, and takes the readings
// before the run; then, every sampleIntervalSeconds (0: never), it samples every device whose timed loop runs, and
// in between waits for Xid events. A device whose NVML is missing gets every reading unavailable with the reason.
// A driver that hangs in an NVML call hangs only this thread.
class HealthMonitor {
public:
    // intervalSeconds above 0 also gathers each device's samples into intervals of that length from the start of
    // its timed loop (DeviceHealth::intervals).
    HealthMonitor(std::vector<MonitoredDevice> devices, double sampleIntervalSeconds,
                  std::chrono::steady_clock::time_point runStarted, double intervalSeconds = 0.0);
    ~HealthMonitor();
    HealthMonitor(const HealthMonitor&) = delete;
    HealthMonitor& operator=(const HealthMonitor&) = delete;

    // Blocks up to timeout until the readings before the run are taken; true when they are.
    bool waitReady(std::chrono::steady_clock::duration timeout);

    // Has the thread take the readings after the run and end, waiting up to timeout, and returns each device's
    // health in the order given. When the thread has not ended in time it is left to itself: every device's health
    // then says that NVML did not answer, and leftBehind is true.
    std::vector<DeviceHealth> finish(std::chrono::steady_clock::duration timeout);

    // NVML as the thread found it; complete once waitReady has returned true.
    NvmlStatus status() const;

    bool leftBehind() const {
        return leftBehind_;
    }

private:
    std::shared_ptr<HealthMonitorState> state_;
    bool finished_ = false;
    bool leftBehind_ = false;
};

}  // namespace bench
