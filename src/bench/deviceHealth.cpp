// The summary of a device's samples and the verdicts drawn from its management readings.
#include "bench/deviceHealth.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

// A share as a whole percentage, "12%", never "0%" for a share above zero.
std::string percentOf(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", share > 0.0 && share < 0.005 ? 1.0 : share * 100.0);
    return text;
}

std::string linkText(unsigned generation, unsigned width) {
    return std::to_string(generation) + "x" + std::to_string(width);
}

}  // namespace

const char* clockReasonName(ClockReason reason) {
    switch (reason) {
        case ClockReason::gpuIdle:
            return "gpu_idle";
        case ClockReason::appClocks:
            return "app_clocks";
        case ClockReason::swPowerCap:
            return "sw_power_cap";
        case ClockReason::hwSlowdown:
            return "hw_slowdown";
        case ClockReason::syncBoost:
            return "sync_boost";
        case ClockReason::swThermal:
            return "sw_thermal";
        case ClockReason::hwThermal:
            return "hw_thermal";
        case ClockReason::hwPowerBrake:
            return "hw_power_brake";
        case ClockReason::count:
            break;
    }
    return "unknown";
}

bool reasonFailsDevice(ClockReason reason) {
    return reason == ClockReason::hwSlowdown || reason == ClockReason::hwThermal || reason == ClockReason::hwPowerBrake;
}

bool reasonIsThrottle(ClockReason reason) {
    return reasonFailsDevice(reason) || reason == ClockReason::swPowerCap || reason == ClockReason::swThermal;
}

void SampleSummary::add(const HealthSample& sample) {
    ++samples_;
    const long roundTrips = sample.roundTripsDone > lastRoundTrips_ ? sample.roundTripsDone - lastRoundTrips_ : 0;
    lastRoundTrips_ = std::max(lastRoundTrips_, sample.roundTripsDone);
    if (sample.temperatureCelsius) {
        temperature_.add(*sample.temperatureCelsius);
    }
    if (sample.powerWatts) {
        power_.add(*sample.powerWatts);
    }
    if (sample.smClockMhz) {
        smClock_.add(*sample.smClockMhz);
    }
    if (sample.memoryClockMhz) {
        memoryClock_.add(*sample.memoryClockMhz);
    }
    if (sample.reasons) {
        ++reasonSamples_;
        for (std::size_t reason = 0; reason < kClockReasons; ++reason) {
            if ((*sample.reasons >> reason) & 1u) {
                ++withReason_[reason];
                roundTripsWithReason_[reason] += roundTrips;
            }
        }
    }
    if (sample.underLoad && (sample.linkGeneration || sample.linkWidth)) {
        ++underLoadSamples_;
        if (sample.linkGeneration && (!lowestGeneration_ || *sample.linkGeneration < *lowestGeneration_)) {
            lowestGeneration_ = sample.linkGeneration;
        }
        if (sample.linkWidth && (!lowestWidth_ || *sample.linkWidth < *lowestWidth_)) {
            lowestWidth_ = sample.linkWidth;
        }
    }
}

void IntervalSampler::add(const HealthSample& sample) {
    ++readings_.samples;
    if (sample.smClockMhz) {
        smClock_.push_back(*sample.smClockMhz);
    }
    if (sample.powerWatts) {
        power_.push_back(*sample.powerWatts);
    }
    if (sample.temperatureCelsius) {
        temperature_.push_back(*sample.temperatureCelsius);
    }
    if (sample.reasons) {
        ++readings_.reasonSamples;
        bool throttled = false;
        for (std::size_t reason = 0; reason < kClockReasons; ++reason) {
            throttled = throttled ||
                        (((*sample.reasons >> reason) & 1u) != 0 && reasonIsThrottle(static_cast<ClockReason>(reason)));
        }
        readings_.throttledSamples += throttled ? 1 : 0;
    }
}

IntervalReadings IntervalSampler::close() {
    const auto median = [](std::vector<double>* values) -> std::optional<double> {
        if (values->empty()) {
            return std::nullopt;
        }
        std::sort(values->begin(), values->end());
        const std::size_t middle = values->size() / 2;
        const double value =
            values->size() % 2 != 0 ? (*values)[middle] : ((*values)[middle - 1] + (*values)[middle]) / 2;
        values->clear();
        return value;
    };
    IntervalReadings closed = readings_;
    closed.smClockMhz = median(&smClock_);
    closed.powerWatts = median(&power_);
    closed.temperatureCelsius = median(&temperature_);
    readings_ = IntervalReadings{};
    return closed;
}

double SampleSummary::shareWith(ClockReason reason) const {
    return reasonSamples_ > 0 ? static_cast<double>(samplesWith(reason)) / static_cast<double>(reasonSamples_) : 0.0;
}

std::vector<HealthVerdict> healthVerdicts(const DeviceHealth& health, bool failOnThrottle) {
    std::vector<HealthVerdict> verdicts;
    if (!health.matched) {
        return verdicts;
    }
    const HealthSnapshot& before = health.before;
    const HealthSnapshot& after = health.after;
    if (before.eccUncorrected.value && after.eccUncorrected.value) {
        const unsigned long long added = *after.eccUncorrected.value > *before.eccUncorrected.value
                                             ? *after.eccUncorrected.value - *before.eccUncorrected.value
                                             : 0;
        verdicts.push_back(HealthVerdict{
            "ecc", added == 0,
            added == 0 ? "no new uncorrected ECC error"
                       : "ecc: " + std::to_string(added) + " new uncorrected " + (added == 1 ? "error" : "errors")});
    }
    if (after.remappedRows.value) {
        const RemappedRows& rows = *after.remappedRows.value;
        std::string detail = "no row remap pending or failed";
        if (rows.failure) {
            detail = "row remap failure";
        } else if (rows.pending) {
            detail = "row remap pending";
        }
        verdicts.push_back(HealthVerdict{"remapped_rows", !rows.failure && !rows.pending, detail});
    }
    if (after.retiredPagesPending.value) {
        const bool pending = *after.retiredPagesPending.value;
        verdicts.push_back(
            HealthVerdict{"retired_pages", !pending, pending ? "retired page pending" : "no retired page pending"});
    }
    verdicts.push_back(
        HealthVerdict{"xid", health.xidCount == 0,
                      health.xidCount == 0
                          ? "no Xid error"
                          : "xid " + std::to_string(health.xids.front().xid) +
                                (health.xidCount > 1 ? " and " + std::to_string(health.xidCount - 1) + " more" : "")});
    const SampleSummary& during = health.during;
    const std::optional<unsigned> maxGeneration =
        before.maxLinkGeneration.value ? before.maxLinkGeneration.value : after.maxLinkGeneration.value;
    const std::optional<unsigned> maxWidth =
        before.maxLinkWidth.value ? before.maxLinkWidth.value : after.maxLinkWidth.value;
    if (during.underLoadSamples() > 0 && maxGeneration && maxWidth) {
        const unsigned generation = during.lowestLinkGenerationUnderLoad().value_or(*maxGeneration);
        const unsigned width = during.lowestLinkWidthUnderLoad().value_or(*maxWidth);
        const bool full = generation >= *maxGeneration && width >= *maxWidth;
        verdicts.push_back(HealthVerdict{"pcie_link", full,
                                         "PCIe link " + linkText(generation, width) + " under load, maximum " +
                                             linkText(*maxGeneration, *maxWidth)});
    }
    if (during.reasonSamples() > 0) {
        for (std::size_t index = 0; index < kClockReasons; ++index) {
            const auto reason = static_cast<ClockReason>(index);
            if (!reasonIsThrottle(reason)) {
                continue;
            }
            const long with = during.samplesWith(reason);
            std::string name = clockReasonName(reason);
            std::string words = name;
            for (char& character : words) {
                character = character == '_' ? ' ' : character;
            }
            const bool fails = with > 0 && (reasonFailsDevice(reason) || failOnThrottle);
            verdicts.push_back(HealthVerdict{
                name, !fails,
                with == 0 ? "no " + words : words + " in " + percentOf(during.shareWith(reason)) + " of samples"});
        }
    }
    std::stable_partition(verdicts.begin(), verdicts.end(),
                          [](const HealthVerdict& verdict) { return !verdict.passed; });
    return verdicts;
}

}  // namespace bench
