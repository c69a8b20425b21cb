// Tests of the verdicts drawn from a device's management readings and of the summary of its samples, on readings
// built here; what the stand-in's NVML gives a whole run is tested with the programs.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "bench/deviceHealth.h"

namespace bench {
namespace {

// NVML's bit for a reason: the enumeration keeps NVML's order.
std::uint64_t bit(ClockReason reason) {
    return std::uint64_t{1} << static_cast<unsigned>(reason);
}

HealthSample sampleAt(long roundTripsDone, std::uint64_t reasons) {
    HealthSample sample;
    sample.roundTripsDone = roundTripsDone;
    sample.reasons = reasons;
    sample.temperatureCelsius = 60.0;
    return sample;
}

// A device NVML answered for, with a clean before and after.
DeviceHealth healthyDevice() {
    DeviceHealth health;
    health.matched = true;
    for (HealthSnapshot* snapshot : {&health.before, &health.after}) {
        snapshot->maxLinkGeneration.value = 5;
        snapshot->maxLinkWidth.value = 16;
        snapshot->eccUncorrected.value = 2;  // from before the run: not this run's fault
        snapshot->remappedRows.value = RemappedRows{};
        snapshot->retiredPagesPending.value = false;
    }
    return health;
}

const HealthVerdict* verdictNamed(const std::vector<HealthVerdict>& verdicts, const std::string& name) {
    for (const HealthVerdict& verdict : verdicts) {
        if (verdict.name == name) {
            return &verdict;
        }
    }
    return nullptr;
}

}  // namespace

TEST(DeviceHealthSamples, CountRoundTripsUnderEachReasonAndTheLowestLinkOnlyUnderLoad) {
    SampleSummary summary;
    summary.add(sampleAt(10, 0));
    summary.add(sampleAt(25, bit(ClockReason::swPowerCap)));
    summary.add(sampleAt(25, bit(ClockReason::swPowerCap) | bit(ClockReason::hwSlowdown)));  // no progress
    summary.add(sampleAt(40, bit(ClockReason::hwSlowdown)));
    HealthSample idleLink = sampleAt(40, 0);
    idleLink.linkGeneration = 1;  // a link at rest trains down to save power: not a fault
    idleLink.linkWidth = 4;
    summary.add(idleLink);
    HealthSample loaded = sampleAt(50, 0);
    loaded.underLoad = true;
    loaded.linkGeneration = 4;
    loaded.linkWidth = 16;
    summary.add(loaded);

    EXPECT_EQ(summary.samples(), 6);
    EXPECT_EQ(summary.reasonSamples(), 6);
    EXPECT_EQ(summary.samplesWith(ClockReason::swPowerCap), 2);
    EXPECT_EQ(summary.roundTripsWith(ClockReason::swPowerCap), 15);
    EXPECT_EQ(summary.roundTripsWith(ClockReason::hwSlowdown), 15);
    EXPECT_DOUBLE_EQ(summary.shareWith(ClockReason::hwSlowdown), 2.0 / 6.0);
    EXPECT_EQ(summary.underLoadSamples(), 1);
    EXPECT_EQ(summary.lowestLinkGenerationUnderLoad(), 4u);
    EXPECT_EQ(summary.lowestLinkWidthUnderLoad(), 16u);
    EXPECT_EQ(summary.temperatureCelsius().count(), 6u);
}

TEST(DeviceHealthVerdicts, ACleanDevicePassesEveryVerdictItHasReadingsFor) {
    DeviceHealth health = healthyDevice();
    for (const HealthVerdict& verdict : healthVerdicts(health, true)) {
        EXPECT_TRUE(verdict.passed) << verdict.name << ": " << verdict.detail;
    }
    // Without samples there is nothing to judge the link or the clocks by; ECC and the rest are still judged.
    const std::vector<HealthVerdict> verdicts = healthVerdicts(health, false);
    EXPECT_EQ(verdictNamed(verdicts, "pcie_link"), nullptr);
    EXPECT_EQ(verdictNamed(verdicts, "hw_slowdown"), nullptr);
    ASSERT_NE(verdictNamed(verdicts, "ecc"), nullptr);

    health.before.eccUncorrected.value.reset();
    health.before.eccUncorrected.unavailable = "not supported";
    EXPECT_EQ(verdictNamed(healthVerdicts(health, false), "ecc"), nullptr) << "half a counter judges nothing";
    EXPECT_TRUE(healthVerdicts(DeviceHealth{}, true).empty()) << "no NVML, no verdicts";
}

// A fault in the readings and the verdict it fails with.
struct VerdictRow {
    const char* name;
    void (*fault)(DeviceHealth*);
    bool failOnThrottle;
    const char* verdict;  // the first verdict, which fails
    const char* detail;
};

void PrintTo(const VerdictRow& row, std::ostream* out) {
    *out << row.name;
}

class DeviceHealthVerdict : public testing::TestWithParam<VerdictRow> {};

TEST_P(DeviceHealthVerdict, FailsFirstWithWhatWasSeen) {
    DeviceHealth health = healthyDevice();
    GetParam().fault(&health);
    const std::vector<HealthVerdict> verdicts = healthVerdicts(health, GetParam().failOnThrottle);
    ASSERT_FALSE(verdicts.empty());
    EXPECT_FALSE(verdicts.front().passed);
    EXPECT_EQ(verdicts.front().name, GetParam().verdict);
    EXPECT_EQ(verdicts.front().detail, GetParam().detail);
    int failed = 0;
    for (const HealthVerdict& verdict : verdicts) {
        failed += verdict.passed ? 0 : 1;
    }
    EXPECT_EQ(failed, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceHealthVerdict,
    testing::Values(VerdictRow{"NewUncorrectedEcc", [](DeviceHealth* h) { h->after.eccUncorrected.value = 5; }, false,
                               "ecc", "ecc: 3 new uncorrected errors"},
                    VerdictRow{"RemapPending", [](DeviceHealth* h) { h->after.remappedRows.value->pending = true; },
                               false, "remapped_rows", "row remap pending"},
                    VerdictRow{"RemapFailure",
                               [](DeviceHealth* h) {
                                   h->after.remappedRows.value->pending = true;
                                   h->after.remappedRows.value->failure = true;
                               },
                               false, "remapped_rows", "row remap failure"},
                    VerdictRow{"RetiredPagePending", [](DeviceHealth* h) { h->after.retiredPagesPending.value = true; },
                               false, "retired_pages", "retired page pending"},
                    VerdictRow{"Xids",
                               [](DeviceHealth* h) {
                                   h->xidCount = 3;
                                   h->xids = {XidError{79, 2.0}, XidError{48, 3.0}, XidError{48, 4.0}};
                               },
                               false, "xid", "xid 79 and 2 more"},
                    VerdictRow{"NarrowLinkUnderLoad",
                               [](DeviceHealth* h) {
                                   HealthSample sample;
                                   sample.underLoad = true;
                                   sample.linkGeneration = 5;
                                   sample.linkWidth = 8;
                                   h->during.add(sample);
                               },
                               false, "pcie_link", "PCIe link 5x8 under load, maximum 5x16"},
                    VerdictRow{"HardwareSlowdown",
                               [](DeviceHealth* h) {
                                   for (int i = 0; i < 9; ++i) {
                                       h->during.add(sampleAt(i, 0));
                                   }
                                   h->during.add(
                                       sampleAt(10, bit(ClockReason::hwSlowdown) | bit(ClockReason::gpuIdle)));
                               },
                               false, "hw_slowdown", "hw slowdown in 10% of samples"},
                    VerdictRow{"PowerBrakeInOneSampleOfThousands",
                               [](DeviceHealth* h) {
                                   for (int i = 0; i < 999; ++i) {
                                       h->during.add(sampleAt(i, 0));
                                   }
                                   h->during.add(sampleAt(1000, bit(ClockReason::hwPowerBrake)));
                               },
                               false, "hw_power_brake", "hw power brake in 1% of samples"},
                    VerdictRow{"SoftwarePowerCapWithFailOnThrottle",
                               [](DeviceHealth* h) { h->during.add(sampleAt(1, bit(ClockReason::swPowerCap))); }, true,
                               "sw_power_cap", "sw power cap in 100% of samples"}),
    [](const testing::TestParamInfo<VerdictRow>& info) { return std::string(info.param.name); });

TEST(DeviceHealthVerdicts, SoftwareCappingIsReportedButPassesUnlessAskedToFail) {
    DeviceHealth health = healthyDevice();
    health.during.add(sampleAt(1, bit(ClockReason::swPowerCap) | bit(ClockReason::swThermal)));
    health.during.add(sampleAt(2, bit(ClockReason::appClocks) | bit(ClockReason::syncBoost)));
    const std::vector<HealthVerdict> verdicts = healthVerdicts(health, false);
    for (const HealthVerdict& verdict : verdicts) {
        EXPECT_TRUE(verdict.passed) << verdict.name;
    }
    ASSERT_NE(verdictNamed(verdicts, "sw_thermal"), nullptr);
    EXPECT_EQ(verdictNamed(verdicts, "sw_thermal")->detail, "sw thermal in 50% of samples");
    EXPECT_EQ(verdictNamed(verdicts, "app_clocks"), nullptr) << "application clocks are no throttle";
    // An ECC count that went down (the driver reloaded) is no new error.
    health.after.eccUncorrected.value = 0;
    EXPECT_TRUE(verdictNamed(healthVerdicts(health, false), "ecc")->passed);
}

}  // namespace bench
