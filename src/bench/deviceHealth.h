// What a device's management readings (NVML) showed over a run, and the verdicts drawn from them: the PCIe link,
// clocks, power, temperature, throttling, ECC, remapped rows, retired pages and Xid errors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/timeSummary.h"

namespace bench {

// A reading NVML may not give: its value, or why there is none ("not loaded", "not supported", NVML's error text).
template <typename Value>
struct Reading {
    std::optional<Value> value;
    std::string unavailable;  // empty when value is set
};

// The rows the device's memory has remapped, and whether a remap waits for a reset or has failed.
struct RemappedRows {
    unsigned corrected = 0;
    unsigned uncorrected = 0;
    bool pending = false;
    bool failure = false;
};

// The readings taken once before the timed loops and once after them.
struct HealthSnapshot {
    Reading<unsigned> linkGeneration;
    Reading<unsigned> linkWidth;
    Reading<unsigned> maxLinkGeneration;
    Reading<unsigned> maxLinkWidth;
    Reading<unsigned> pcieReplays;
    Reading<bool> eccEnabled;
    Reading<unsigned long long> eccUncorrected;  // volatile: since the driver loaded
    Reading<unsigned long long> eccCorrected;
    Reading<RemappedRows> remappedRows;
    Reading<bool> retiredPagesPending;
    Reading<double> powerLimitWatts;
    Reading<unsigned> maxSmClockMhz;
    Reading<unsigned> maxMemoryClockMhz;
};

// Why the clocks were below their maximum, as NVML's clocks-event reasons say, in the report's words.
enum class ClockReason {
    gpuIdle,
    appClocks,
    swPowerCap,
    hwSlowdown,
    syncBoost,
    swThermal,
    hwThermal,
    hwPowerBrake,
    count
};

constexpr std::size_t kClockReasons = static_cast<std::size_t>(ClockReason::count);

// The reason's name in the report: "gpu_idle", "sw_power_cap", "hw_slowdown", ...
const char* clockReasonName(ClockReason reason);

// Whether a reason held during the timed loops fails the device by itself (hardware slowdown, hardware thermal
// slowdown, power brake) or only with --fail-on-throttle (software power and thermal capping); the others (idle,
// application clocks, sync boost) judge nothing.
bool reasonFailsDevice(ClockReason reason);
bool reasonIsThrottle(ClockReason reason);

// One sample's readings; each may be missing.
struct HealthSample {
    double atSeconds = 0.0;  // since the run started
    bool underLoad = false;  // a transfer was running on the device when it was taken
    long roundTripsDone = 0;
    std::optional<double> temperatureCelsius;
    std::optional<double> powerWatts;
    std::optional<double> smClockMhz;
    std::optional<double> memoryClockMhz;
    std::optional<std::uint64_t> reasons;  // bits, one per ClockReason in its order
    std::optional<unsigned> linkGeneration;
    std::optional<unsigned> linkWidth;
};

// The samples taken while the device's timed loop ran, summarised in memory that does not grow with the run.
class SampleSummary {
public:
    // Counts a sample; the round trips done since the previous sample are those timed while its reasons held.
    void add(const HealthSample& sample);

    long samples() const {
        return samples_;
    }
    const TimeSummary& temperatureCelsius() const {
        return temperature_;
    }
    const TimeSummary& powerWatts() const {
        return power_;
    }
    const TimeSummary& smClockMhz() const {
        return smClock_;
    }
    const TimeSummary& memoryClockMhz() const {
        return memoryClock_;
    }
    // Samples with reasons read, and among them those with each reason asserted.
    long reasonSamples() const {
        return reasonSamples_;
    }
    long samplesWith(ClockReason reason) const {
        return withReason_[static_cast<std::size_t>(reason)];
    }
    // Round trips completed between a sample with the reason asserted and the one before it.
    long roundTripsWith(ClockReason reason) const {
        return roundTripsWithReason_[static_cast<std::size_t>(reason)];
    }
    // The share of samples with the reason asserted, 0 without samples.
    double shareWith(ClockReason reason) const;
    // Samples taken under load, with the lowest link they showed.
    long underLoadSamples() const {
        return underLoadSamples_;
    }
    std::optional<unsigned> lowestLinkGenerationUnderLoad() const {
        return lowestGeneration_;
    }
    std::optional<unsigned> lowestLinkWidthUnderLoad() const {
        return lowestWidth_;
    }

private:
    long samples_ = 0;
    long lastRoundTrips_ = 0;
    TimeSummary temperature_;
    TimeSummary power_;
    TimeSummary smClock_;
    TimeSummary memoryClock_;
    long reasonSamples_ = 0;
    std::array<long, kClockReasons> withReason_{};
    std::array<long, kClockReasons> roundTripsWithReason_{};
    long underLoadSamples_ = 0;
    std::optional<unsigned> lowestGeneration_;
    std::optional<unsigned> lowestWidth_;
};

// NVML's readings over one interval of the resident workload's rate series: medians of the samples taken in it,
// and how many of them had a throttle reason asserted (reasonIsThrottle).
struct IntervalReadings {
    long samples = 0;
    std::optional<double> smClockMhz;  // medians; empty when no sample had the reading
    std::optional<double> powerWatts;
    std::optional<double> temperatureCelsius;
    long reasonSamples = 0;  // samples with the reasons read
    long throttledSamples = 0;
};

// The samples of one open interval, kept until it closes; a few per interval at any sensible sample interval.
class IntervalSampler {
public:
    void add(const HealthSample& sample);
    // The interval's readings; the sampler is empty again after it.
    IntervalReadings close();

private:
    IntervalReadings readings_;
    std::vector<double> smClock_;
    std::vector<double> power_;
    std::vector<double> temperature_;
};

// An Xid error the driver reported for the device during the run.
struct XidError {
    unsigned long long xid;
    double atSeconds;  // since the run started
};

// Xid errors kept with their details; every one is counted.
constexpr std::size_t kRecordedXids = 100;

// Everything NVML showed of one device.
struct DeviceHealth {
    bool matched = false;     // NVML was loaded and answered for the device's UUID
    std::string unavailable;  // why there are no readings at all, when not matched
    HealthSnapshot before;
    HealthSnapshot after;
    SampleSummary during;
    double sampleIntervalSeconds = 0.0;
    // Readings the driver could not give, by name, with why: {"remapped_rows", "not supported"}.
    std::vector<std::pair<std::string, std::string>> unavailableReadings;
    long xidCount = 0;
    std::vector<XidError> xids;  // the first kRecordedXids
    // The resident workload's intervals, counted from the start of the device's timed loop; empty otherwise.
    std::vector<IntervalReadings> intervals;
};

// How NVML was found, for the report: the library loaded and the driver's version, or why there is none.
struct NvmlStatus {
    bool loaded = false;
    std::string library;        // the path that was opened
    std::string driverVersion;  // empty when it could not be read
    std::string problem;        // "not loaded: ...", "nvmlInit_v2: Driver Not Loaded"; empty when loaded
};

// One verdict drawn from the readings: what it judges, whether it passed, and a short line saying what was seen.
struct HealthVerdict {
    std::string name;    // "ecc", "remapped_rows", "retired_pages", "xid", "pcie_link", "hw_slowdown", ...
    bool passed = true;  // false: the device fails for it
    std::string detail;  // "xid 79", "PCIe link 3x8 under load, maximum 5x16", "sw power cap in 12% of samples"
};

// The verdicts of a device's readings: a new uncorrected ECC error (volatile count up during the run), a remapped row
// pending or a remap failure, a retired page pending, any Xid error, a sample under load with the link below its
// maximum generation or width, hardware slowdown, hardware thermal slowdown or power brake in any sample of the timed
// loops; software power and thermal capping are reported as verdicts that pass unless failOnThrottle, when any sample
// of them fails. Readings that are not there judge nothing. Each failed verdict comes first, in that order.
std::vector<HealthVerdict> healthVerdicts(const DeviceHealth& health, bool failOnThrottle);

}  // namespace bench
