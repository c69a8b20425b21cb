// Tests of the stand-in NVML: its scenario's grammar and timelines in process, then the library itself, loaded as a
// program loads it: identity by UUID, readings and their changes during the run, Xid events, functions made
// unsupported, a failing init, arguments NVML refuses and malformed variables.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/nvml/emulatedNvmlControl.h"
#include "gpu/nvml/nvmlApi.h"
#include "gpu/nvml/nvmlLibrary.h"
#include "support/environmentVariable.h"
#include "support/nvmlStandIn.h"

namespace {

using Clock = std::chrono::steady_clock;
using Reading = EmulatedNvmlReading;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A scenario that must parse; an empty one, failing the test, when it does not.
EmulatedNvmlScenario parsed(const char* text) {
    EmulatedNvmlScenario scenario = emulatedNvmlParseScenario(text);
    EXPECT_TRUE(scenario.valid) << text << ": " << emulatedNvmlBadScenarioMessage(scenario);
    return scenario;
}

// Whether seen, with repeats removed, is order with some values left out: readings taken while a timeline runs,
// however late, see its values in its order.
bool followsInOrder(const std::vector<unsigned long long>& seen, const std::vector<unsigned long long>& order) {
    std::vector<unsigned long long> distinct;
    for (const unsigned long long value : seen) {
        if (distinct.empty() || distinct.back() != value) {
            distinct.push_back(value);
        }
    }
    auto next = order.begin();
    for (const unsigned long long value : distinct) {
        next = std::find(next, order.end(), value);
        if (next == order.end()) {
            return false;
        }
        ++next;
    }
    return true;
}

}  // namespace

// --- the scenario, in process ------------------------------------------------------------------------------------

struct MalformedItem {
    const char* text;
    const char* badItem;
    const char* expected;  // part of what the message says the item should have been
};

class EmulatedNvmlScenarioMalformed : public testing::TestWithParam<MalformedItem> {};

TEST_P(EmulatedNvmlScenarioMalformed, NamesTheFirstBadItemAndWhatItShouldBe) {
    const MalformedItem& c = GetParam();
    const EmulatedNvmlScenario scenario = emulatedNvmlParseScenario(c.text);
    ASSERT_FALSE(scenario.valid) << c.text;
    EXPECT_EQ(scenario.badItem, c.badItem);
    const std::string message = emulatedNvmlBadScenarioMessage(scenario);
    EXPECT_EQ(message.rfind(std::string("KAVREL_EMULATED_NVML: bad item \"") + c.badItem + "\" (expected ", 0), 0u)
        << message;
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Items, EmulatedNvmlScenarioMalformed,
    testing::Values(
        MalformedItem{"temp=50", "temp=50", "DEVICE:KEY=VALUE"},
        MalformedItem{"x:temp=50", "x:temp=50", "DEVICE a device index"},
        MalformedItem{"0:temp", "0:temp", "KEY one of link, maxlink, temp"},
        MalformedItem{"0:bogus=1", "0:bogus=1", "KEY one of"},
        MalformedItem{"0:temp=", "0:temp=", "temp=N[@TIME], N whole degrees Celsius from 0 to 200"},
        MalformedItem{"0:temp=hot", "0:temp=hot", "from 0 to 200"},
        MalformedItem{"0:temp=201", "0:temp=201", "from 0 to 200"},
        MalformedItem{"0:powerlimit=0", "0:powerlimit=0", "powerlimit=N[@TIME], N watts from 1"},
        MalformedItem{"0:remap_pending=2", "0:remap_pending=2", "0 or 1"},
        MalformedItem{"0:temp+=5", "0:temp+=5", "a counter before +="},
        MalformedItem{"0:ecc_uncorrected=5", "0:ecc_uncorrected=5", "ecc_uncorrected+=N[@TIME]"},
        MalformedItem{"0:ecc_uncorrected+=0", "0:ecc_uncorrected+=0", "N a count from 1"},
        MalformedItem{"0:link=3", "0:link=3", "link=GxW[@TIME]"},
        MalformedItem{"0:link=3x", "0:link=3x", "W a width from 1 to 32"},
        MalformedItem{"0:link=7x16", "0:link=7x16", "G a PCIe generation from 1 to 6"},
        MalformedItem{"0:sm_clock=990@", "0:sm_clock=990@", "TIME such as 5s, 500ms"},
        MalformedItem{"0:sm_clock=990@1.5ms", "0:sm_clock=990@1.5ms", "TIME such as"},
        MalformedItem{"0:sm_clock=990@0.0001s", "0:sm_clock=990@0.0001s", "TIME such as"},
        MalformedItem{"0:sm_clock=990@1000001s", "0:sm_clock=990@1000001s", "TIME such as"},
        MalformedItem{"0:temp=50@1s,0:temp=60@1000ms", "0:temp=60@1000ms", "once per time"},
        MalformedItem{"0:throttle=", "0:throttle=", "REASON one of gpu_idle, app_clocks"},
        MalformedItem{"0:throttle=fast", "0:throttle=fast", "throttle=REASON[+REASON...]"},
        MalformedItem{"0:throttle=hw_slowdown@2s-1s", "0:throttle=hw_slowdown@2s-1s", "UNTIL after"},
        MalformedItem{"0:throttle=hw_slowdown@1s-1s", "0:throttle=hw_slowdown@1s-1s", "UNTIL after"},
        MalformedItem{"0:xid=0", "0:xid=0", "xid=N[@TIME], N an Xid from 1"},
        MalformedItem{"0:ecc=maybe", "0:ecc=maybe", "ecc=on or ecc=off"},
        MalformedItem{"0:ecc=off@1s", "0:ecc=off@1s", "ecc=on or ecc=off"},
        MalformedItem{"0:ecc=off,0:ecc=on", "0:ecc=on", "once per device"},
        MalformedItem{"0:unsupported=nvmlInit_v2", "0:unsupported=nvmlInit_v2", "FUNCTION one of nvmlDeviceGetName"},
        MalformedItem{"0:unsupported=nvmlDeviceGetUUID", "0:unsupported=nvmlDeviceGetUUID", "FUNCTION one of"},
        MalformedItem{"init=fail", "init=fail", "init=FAIL"},
        MalformedItem{"0:temp=50,,0:power=1", "", "DEVICE:KEY=VALUE"}));

TEST(EmulatedNvmlScenario, UnprintableBytesAreShownEscapedInTheMessage) {
    const EmulatedNvmlScenario scenario = emulatedNvmlParseScenario("0:temp=5\t0");
    EXPECT_EQ(emulatedNvmlBadScenarioMessage(scenario).rfind("KAVREL_EMULATED_NVML: bad item \"0:temp=5\\x090\"", 0),
              0u);
}

TEST(EmulatedNvmlScenario, ReadingsTakeTheirLatestStepAndOtherwiseTheirDefaults) {
    const EmulatedNvmlScenario scenario =
        parsed("0:temp=60@2s,0:temp=50@1s,0:sm_clock=990@200ms,0:maxlink=4x8@1.5,0:link=2x4@3,0:max_mem_clock=1593");
    const EmulatedNvmlDevice& d = scenario.devices.at(0);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::temperature, 0), 45u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::temperature, 999), 45u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::temperature, 1000), 50u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::temperature, 1999), 50u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::temperature, 2000), 60u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::smClock, 199), 1980u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::smClock, 200), 990u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::maxSmClock, 200), 1980u);
    // The current link and clocks follow the maximum ones until they are set themselves.
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkGeneration, 1499), 5u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkWidth, 1499), 16u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkGeneration, 1500), 4u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkWidth, 1500), 8u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkGeneration, 3000), 2u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::linkWidth, 3000), 4u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::maxLinkWidth, 3000), 8u);
    EXPECT_EQ(emulatedNvmlReading(d, Reading::memClock, 0), 1593u);
    const EmulatedNvmlDevice untouched;
    const unsigned long long defaults[] = {5, 16, 5, 16, 45, 300, 700, 1980, 2619, 1980, 2619, 0, 0, 0, 0, 0};
    for (int reading = 0; reading < static_cast<int>(Reading::count); ++reading) {
        EXPECT_EQ(emulatedNvmlReading(untouched, static_cast<Reading>(reading), 123456), defaults[reading]) << reading;
    }
}

TEST(EmulatedNvmlScenario, CountersRiseByEachIncrementFromItsTime) {
    const EmulatedNvmlScenario scenario = parsed(
        "0:ecc_uncorrected+=2@1s,0:ecc_uncorrected+=3@2s,0:ecc_uncorrected+=1@2s,0:replay+=7,1:ecc_corrected+=4");
    const EmulatedNvmlDevice& d = scenario.devices.at(0);
    EXPECT_EQ(emulatedNvmlCounter(d, EmulatedNvmlCounter::eccUncorrected, 999), 0u);
    EXPECT_EQ(emulatedNvmlCounter(d, EmulatedNvmlCounter::eccUncorrected, 1000), 2u);
    EXPECT_EQ(emulatedNvmlCounter(d, EmulatedNvmlCounter::eccUncorrected, 2000), 6u);
    EXPECT_EQ(emulatedNvmlCounter(d, EmulatedNvmlCounter::pcieReplay, 0), 7u);
    EXPECT_EQ(emulatedNvmlCounter(d, EmulatedNvmlCounter::eccCorrected, 5000), 0u);
    EXPECT_EQ(emulatedNvmlCounter(scenario.devices.at(1), EmulatedNvmlCounter::eccCorrected, 0), 4u);
}

TEST(EmulatedNvmlScenario, ThrottleReasonsHoldFromTheirStartUntilTheirEndAndCombine) {
    const EmulatedNvmlScenario scenario =
        parsed("0:throttle=sw_power_cap+hw_slowdown@1s-2s,0:throttle=hw_thermal@1500ms");
    const EmulatedNvmlDevice& d = scenario.devices.at(0);
    const unsigned long long power = nvml::kClocksEventReasonSwPowerCap | nvml::kClocksEventReasonHwSlowdown;
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, 999), 0u);
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, 1000), power);
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, 1500), power | nvml::kClocksEventReasonHwThermalSlowdown);
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, 1999), power | nvml::kClocksEventReasonHwThermalSlowdown);
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, 2000), nvml::kClocksEventReasonHwThermalSlowdown);
    EXPECT_EQ(emulatedNvmlClocksEventReasons(d, kEmulatedNvmlMaxTimeMs), nvml::kClocksEventReasonHwThermalSlowdown);
}

struct ReasonBit {
    const char* name;
    unsigned long long bit;
};

class EmulatedNvmlScenarioReason : public testing::TestWithParam<ReasonBit> {};

TEST_P(EmulatedNvmlScenarioReason, IsNvmlsBit) {
    const std::string text = std::string("0:throttle=") + GetParam().name;
    const EmulatedNvmlScenario scenario = parsed(text.c_str());
    EXPECT_EQ(emulatedNvmlClocksEventReasons(scenario.devices.at(0), 0), GetParam().bit);
}

INSTANTIATE_TEST_SUITE_P(Names, EmulatedNvmlScenarioReason,
                         testing::Values(ReasonBit{"gpu_idle", nvml::kClocksEventReasonGpuIdle},
                                         ReasonBit{"app_clocks", nvml::kClocksEventReasonApplicationsClocksSetting},
                                         ReasonBit{"sw_power_cap", nvml::kClocksEventReasonSwPowerCap},
                                         ReasonBit{"hw_slowdown", nvml::kClocksEventReasonHwSlowdown},
                                         ReasonBit{"sync_boost", nvml::kClocksEventReasonSyncBoost},
                                         ReasonBit{"sw_thermal", nvml::kClocksEventReasonSwThermalSlowdown},
                                         ReasonBit{"hw_thermal", nvml::kClocksEventReasonHwThermalSlowdown},
                                         ReasonBit{"hw_power_brake", nvml::kClocksEventReasonHwPowerBrakeSlowdown}));

TEST(EmulatedNvmlScenario, KeepsXidsInTimeOrderAndTheRestPerDevice) {
    const EmulatedNvmlScenario scenario =
        parsed("0:xid=31@700ms,0:xid=79@0.5,0:xid=48@500ms,2:ecc=off,2:unsupported=nvmlDeviceGetPowerUsage,init=FAIL");
    const std::vector<EmulatedNvmlStep>& xids = scenario.devices.at(0).xids;
    ASSERT_EQ(xids.size(), 3u);
    EXPECT_EQ(xids[0].value, 79u);
    EXPECT_EQ(xids[1].value, 48u);
    EXPECT_EQ(xids[2].value, 31u);
    EXPECT_EQ(xids[2].atMs, 700);
    EXPECT_TRUE(scenario.devices.at(0).eccEnabled);
    EXPECT_FALSE(scenario.devices.at(2).eccEnabled);
    EXPECT_TRUE(scenario.devices.at(2).unsupported[static_cast<int>(EmulatedNvmlFunction::nvmlDeviceGetPowerUsage)]);
    EXPECT_FALSE(scenario.devices.at(2).unsupported[static_cast<int>(EmulatedNvmlFunction::nvmlDeviceGetName)]);
    EXPECT_EQ(scenario.devices.count(1), 0u);
    EXPECT_TRUE(scenario.initFails);
    ASSERT_EQ(scenario.deviceItems.size(), 5u);
    EXPECT_EQ(scenario.deviceItems[4].first, 2);
    EXPECT_EQ(scenario.deviceItems[4].second, "2:unsupported=nvmlDeviceGetPowerUsage");
    EXPECT_FALSE(parsed("").initFails);
    EXPECT_TRUE(parsed("").devices.empty());
}

TEST(EmulatedNvmlScenario, ReadsTheDeviceCountAndWordsWarningsAsTheCudaStandInDoes) {
    for (const char* text : {"", "1", "2", "16", "0", "17", "2x", "-1", " 2", "02", "99999999999999999999"}) {
        int count = 0;
        const bool valid = emulatedNvmlParseDeviceCount(text, &count);
        const EmulatedDeviceCount cuda = emulatedParseDeviceCount(text);
        EXPECT_EQ(valid, cuda.valid) << '"' << text << '"';
        if (valid && cuda.valid) {
            EXPECT_EQ(count, cuda.count) << '"' << text << '"';
        }
    }
    EXPECT_EQ(emulatedNvmlBadDeviceCountMessage("2x"),
              "KAVREL_EMULATED_DEVICES: bad value \"2x\" (expected a device count from 1 to 16)");
    for (const int devices : {1, 3}) {
        EXPECT_EQ(emulatedNvmlUnreachableItemMessage("5:temp=90", devices),
                  emulatedUnreachableItemMessage("KAVREL_EMULATED_NVML", "5:temp=90", devices));
    }
}

// --- the library, loaded ----------------------------------------------------------------------------------------

using EmulatedNvml = NvmlStandInTest;

TEST_F(EmulatedNvml, FindsEachOfTheCudaStandInsDevicesByItsUuid) {
    start("", 3);
    const NvmlFunctions& f = nvmlFunctions();
    std::vector<nvml::Device> handles;
    for (int device = 0; device < 3; ++device) {
        handles.push_back(handle(device));
        char uuid[nvml::kDeviceUuidV2BufferSize];
        ASSERT_EQ(f.deviceGetUuid(handles.back(), uuid, sizeof uuid), nvml::kSuccess);
        EXPECT_EQ(uuid, cudaUuid(device));
        char name[nvml::kDeviceNameV2BufferSize];
        ASSERT_EQ(f.deviceGetName(handles.back(), name, sizeof name), nvml::kSuccess);
        EXPECT_STREQ(name, kEmulatedDeviceName);
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end()) << "devices share a handle";
    EXPECT_EQ(cudaUuid(2), "GPU-4b617672-656c-4000-8000-454d55000002");

    nvml::Device untouched = nullptr;
    std::string upper = cudaUuid(1);
    std::transform(upper.begin() + 4, upper.end(), upper.begin() + 4, [](char c) { return c == 'b' ? 'B' : c; });
    for (const std::string& unknown : {cudaUuid(3), upper, std::string("GPU-"), std::string()}) {
        EXPECT_EQ(f.deviceGetHandleByUuid(unknown.c_str(), &untouched), nvml::kErrorNotFound) << unknown;
    }
    EXPECT_EQ(untouched, nullptr);
}

// A reading through the library; its expected value, and a scenario that sets it.
struct LibraryReading {
    const char* scenario;
    const char* what;
    unsigned long long (*read)(const NvmlFunctions& f, nvml::Device device);
    unsigned long long expected;
};

// Each reader fails the test and gives ~0 when the call fails.
#define KAVREL_READ(call)                                              \
    [](const NvmlFunctions& f, nvml::Device d) -> unsigned long long { \
        unsigned int value = 0;                                        \
        const nvml::Return status = f.call;                            \
        EXPECT_EQ(status, nvml::kSuccess) << #call;                    \
        return status == nvml::kSuccess ? value : ~0ULL;               \
    }
#define KAVREL_READ_WIDE(call)                                         \
    [](const NvmlFunctions& f, nvml::Device d) -> unsigned long long { \
        unsigned long long value = 0;                                  \
        const nvml::Return status = f.call;                            \
        EXPECT_EQ(status, nvml::kSuccess) << #call;                    \
        return status == nvml::kSuccess ? value : ~0ULL;               \
    }
#define KAVREL_READ_STATE(call)                                                           \
    [](const NvmlFunctions& f, nvml::Device d) -> unsigned long long {                    \
        nvml::EnableState value = nvml::kFeatureDisabled;                                 \
        nvml::EnableState other = nvml::kFeatureDisabled;                                 \
        static_cast<void>(other);                                                         \
        const nvml::Return status = f.call;                                               \
        EXPECT_EQ(status, nvml::kSuccess) << #call;                                       \
        return status == nvml::kSuccess ? static_cast<unsigned long long>(value) : ~0ULL; \
    }
#define KAVREL_READ_ROWS(field)                                                                         \
    [](const NvmlFunctions& f, nvml::Device d) -> unsigned long long {                                  \
        unsigned int rows[4] = {9, 9, 9, 9};                                                            \
        const nvml::Return status = f.deviceGetRemappedRows(d, &rows[0], &rows[1], &rows[2], &rows[3]); \
        EXPECT_EQ(status, nvml::kSuccess);                                                              \
        return status == nvml::kSuccess ? rows[field] : ~0ULL;                                          \
    }

constexpr auto kCurrGen = KAVREL_READ(deviceGetCurrPcieLinkGeneration(d, &value));
constexpr auto kCurrWidth = KAVREL_READ(deviceGetCurrPcieLinkWidth(d, &value));
constexpr auto kMaxGen = KAVREL_READ(deviceGetMaxPcieLinkGeneration(d, &value));
constexpr auto kMaxWidth = KAVREL_READ(deviceGetMaxPcieLinkWidth(d, &value));
constexpr auto kReplay = KAVREL_READ(deviceGetPcieReplayCounter(d, &value));
constexpr auto kTemperature = KAVREL_READ(deviceGetTemperature(d, nvml::kTemperatureGpu, &value));
constexpr auto kPower = KAVREL_READ(deviceGetPowerUsage(d, &value));
constexpr auto kPowerLimit = KAVREL_READ(deviceGetEnforcedPowerLimit(d, &value));
constexpr auto kSmClock = KAVREL_READ(deviceGetClockInfo(d, nvml::kClockSm, &value));
constexpr auto kMemClock = KAVREL_READ(deviceGetClockInfo(d, nvml::kClockMem, &value));
constexpr auto kMaxSmClock = KAVREL_READ(deviceGetMaxClockInfo(d, nvml::kClockSm, &value));
constexpr auto kMaxMemClock = KAVREL_READ(deviceGetMaxClockInfo(d, nvml::kClockMem, &value));
constexpr auto kEccUncorrected =
    KAVREL_READ_WIDE(deviceGetTotalEccErrors(d, nvml::kMemoryErrorUncorrected, nvml::kVolatileEcc, &value));
constexpr auto kEccCorrected =
    KAVREL_READ_WIDE(deviceGetTotalEccErrors(d, nvml::kMemoryErrorCorrected, nvml::kVolatileEcc, &value));
constexpr auto kThrottle = KAVREL_READ_WIDE(deviceGetCurrentClocksEventReasons(d, &value));
constexpr auto kEvents = KAVREL_READ_WIDE(deviceGetSupportedEventTypes(d, &value));
constexpr auto kEccMode = KAVREL_READ_STATE(deviceGetEccMode(d, &value, &other));
constexpr auto kEccPending = KAVREL_READ_STATE(deviceGetEccMode(d, &other, &value));
constexpr auto kRetiredPending = KAVREL_READ_STATE(deviceGetRetiredPagesPendingStatus(d, &value));
constexpr auto kRemappedCorrected = KAVREL_READ_ROWS(0);
constexpr auto kRemappedUncorrected = KAVREL_READ_ROWS(1);
constexpr auto kRemapPending = KAVREL_READ_ROWS(2);
constexpr auto kRemapFailure = KAVREL_READ_ROWS(3);

// Each row reads device 1 of two; rows setting device 0 show that device 1 keeps its defaults.
class EmulatedNvmlLibraryReading : public NvmlStandInTest, public testing::WithParamInterface<LibraryReading> {};

TEST_P(EmulatedNvmlLibraryReading, IsWhatTheScenarioSetsForThatDevice) {
    const LibraryReading& c = GetParam();
    start(c.scenario, 2);
    EXPECT_EQ(c.read(nvmlFunctions(), handle(1)), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Readings, EmulatedNvmlLibraryReading,
    testing::Values(
        LibraryReading{"", "event types", kEvents, nvml::kEventTypeXidCriticalError},
        LibraryReading{"", "ECC mode", kEccMode, nvml::kFeatureEnabled},
        LibraryReading{"", "power in mW", kPower, 300000},
        LibraryReading{"1:link=3x8", "current link generation", kCurrGen, 3},
        LibraryReading{"1:link=3x8", "current link width", kCurrWidth, 8},
        LibraryReading{"1:link=3x8", "maximum link width", kMaxWidth, 16},
        LibraryReading{"1:maxlink=4x8", "maximum link generation", kMaxGen, 4},
        LibraryReading{"1:maxlink=4x8", "current link width", kCurrWidth, 8},
        LibraryReading{"1:replay+=3,1:replay+=4", "replays", kReplay, 7},
        LibraryReading{"1:temp=83", "temperature", kTemperature, 83},
        LibraryReading{"1:power=650", "power in mW", kPower, 650000},
        LibraryReading{"1:powerlimit=400", "power limit in mW", kPowerLimit, 400000},
        LibraryReading{"1:sm_clock=1410", "SM clock", kSmClock, 1410},
        LibraryReading{"1:mem_clock=1593", "memory clock", kMemClock, 1593},
        LibraryReading{"1:max_sm_clock=1755", "SM clock", kSmClock, 1755},
        LibraryReading{"1:max_sm_clock=1755", "maximum SM clock", kMaxSmClock, 1755},
        LibraryReading{"1:max_mem_clock=1215", "maximum memory clock", kMaxMemClock, 1215},
        LibraryReading{"1:ecc_uncorrected+=2", "uncorrected ECC", kEccUncorrected, 2},
        LibraryReading{"1:ecc_corrected+=40", "corrected ECC", kEccCorrected, 40},
        LibraryReading{"1:ecc_corrected+=40", "uncorrected ECC", kEccUncorrected, 0},
        LibraryReading{"1:ecc=off", "ECC mode", kEccMode, nvml::kFeatureDisabled},
        LibraryReading{"1:ecc=off", "pending ECC mode", kEccPending, nvml::kFeatureDisabled},
        LibraryReading{"1:retired_pending=1", "retired pages pending", kRetiredPending, nvml::kFeatureEnabled},
        LibraryReading{"1:remapped_corrected=5", "remapped corrected rows", kRemappedCorrected, 5},
        LibraryReading{"1:remapped_uncorrected=2", "remapped uncorrected rows", kRemappedUncorrected, 2},
        LibraryReading{"1:remap_pending=1", "remap pending", kRemapPending, 1},
        LibraryReading{"1:remap_failure=1", "remap failure", kRemapFailure, 1},
        LibraryReading{"1:throttle=sw_thermal+sync_boost", "clocks-event reasons", kThrottle,
                       nvml::kClocksEventReasonSwThermalSlowdown | nvml::kClocksEventReasonSyncBoost},
        LibraryReading{"0:temp=90,0:link=1x1,0:throttle=gpu_idle", "device 1's temperature", kTemperature, 45},
        LibraryReading{"0:temp=90,0:link=1x1,0:throttle=gpu_idle", "device 1's link width", kCurrWidth, 16},
        LibraryReading{"0:temp=90,0:link=1x1,0:throttle=gpu_idle", "device 1's reasons", kThrottle, 0}));

TEST_F(EmulatedNvml, ReadingsChangeDuringTheRunInTheOrderOfTheirTimelines) {
    const Clock::time_point before = Clock::now();
    start("0:sm_clock=990@200ms,0:sm_clock=1500@400ms,0:ecc_uncorrected+=2@300ms,0:throttle=hw_thermal@200ms-400ms");
    const nvml::Device device = handle(0);
    std::vector<unsigned long long> clocks;
    std::vector<unsigned long long> errors;
    std::vector<unsigned long long> reasons;
    long long finalClockAtMs = -1;
    while (millisecondsSince(before) < 20000) {
        clocks.push_back(kSmClock(nvmlFunctions(), device));
        errors.push_back(kEccUncorrected(nvmlFunctions(), device));
        reasons.push_back(kThrottle(nvmlFunctions(), device));
        if (clocks.back() == 1500 && finalClockAtMs < 0) {
            finalClockAtMs = millisecondsSince(before);
        }
        if (clocks.back() == 1500 && errors.back() == 2 && reasons.back() == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(clocks.back(), 1500u);
    EXPECT_EQ(errors.back(), 2u);
    EXPECT_EQ(reasons.back(), 0u);
    EXPECT_TRUE(followsInOrder(clocks, {1980, 990, 1500}));
    EXPECT_TRUE(followsInOrder(errors, {0, 2}));
    EXPECT_TRUE(followsInOrder(reasons, {0, nvml::kClocksEventReasonHwThermalSlowdown, 0}));
    // Never early: the last step comes 400 ms after nvmlInit_v2, which was after "before".
    EXPECT_GE(finalClockAtMs, 400);
}

TEST_F(EmulatedNvml, DeliversAnXidEventAtItsTimeToTheSetsOfItsDevice) {
    const Clock::time_point before = Clock::now();
    start("0:xid=79@500ms,1:xid=48@300ms,0:xid=31@700ms", 2);
    const NvmlFunctions& f = nvmlFunctions();
    nvml::EventSet zeroOnly = nullptr;
    nvml::EventSet both = nullptr;
    ASSERT_EQ(f.eventSetCreate(&zeroOnly), nvml::kSuccess);
    ASSERT_EQ(f.eventSetCreate(&both), nvml::kSuccess);
    ASSERT_EQ(f.deviceRegisterEvents(handle(0), nvml::kEventTypeXidCriticalError, zeroOnly), nvml::kSuccess);
    ASSERT_EQ(f.deviceRegisterEvents(handle(0), nvml::kEventTypeXidCriticalError, both), nvml::kSuccess);
    ASSERT_EQ(f.deviceRegisterEvents(handle(1), nvml::kEventTypeXidCriticalError, both), nvml::kSuccess);

    nvml::EventData data{};
    const long long askedAtMs = millisecondsSince(before);
    const nvml::Return early = f.eventSetWait(zeroOnly, &data, 0);
    // Only a call made well before the event's time is sure to find nothing, however loaded the machine.
    if (askedAtMs < 400) {
        EXPECT_EQ(early, nvml::kErrorTimeout);
    }
    if (early != nvml::kSuccess) {
        ASSERT_EQ(f.eventSetWait(zeroOnly, &data, 10000), nvml::kSuccess);
        EXPECT_GE(millisecondsSince(before), 500);
    }
    EXPECT_EQ(data.device, handle(0));
    EXPECT_EQ(data.eventType, nvml::kEventTypeXidCriticalError);
    EXPECT_EQ(data.eventData, 79u);
    EXPECT_EQ(data.gpuInstanceId, 0xFFFFFFFFu);
    EXPECT_EQ(data.computeInstanceId, 0xFFFFFFFFu);
    ASSERT_EQ(f.eventSetWait(zeroOnly, &data, 10000), nvml::kSuccess);
    EXPECT_EQ(data.eventData, 31u);
    EXPECT_GE(millisecondsSince(before), 700);
    EXPECT_EQ(f.eventSetWait(zeroOnly, &data, 50), nvml::kErrorTimeout) << "device 1's Xid reached device 0's set";

    // A set on both devices gets every event, in time order, also those that came before it asked.
    std::vector<unsigned long long> xids;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(f.eventSetWait(both, &data, 10000), nvml::kSuccess);
        xids.push_back(data.eventData);
        EXPECT_EQ(data.device, handle(data.eventData == 48 ? 1 : 0));
    }
    EXPECT_EQ(xids, (std::vector<unsigned long long>{48, 79, 31}));
    EXPECT_EQ(f.eventSetWait(both, &data, 0), nvml::kErrorTimeout);
    EXPECT_EQ(f.eventSetFree(zeroOnly), nvml::kSuccess);
    EXPECT_EQ(f.eventSetFree(both), nvml::kSuccess);
}

TEST_F(EmulatedNvml, RegistersXidEventsOnlyAndRefusesUnknownSets) {
    start("");
    const NvmlFunctions& f = nvmlFunctions();
    nvml::EventSet set = nullptr;
    ASSERT_EQ(f.eventSetCreate(&set), nvml::kSuccess);
    constexpr unsigned long long kSingleBitEcc = 0x1;
    EXPECT_EQ(f.deviceRegisterEvents(handle(0), 0, set), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceRegisterEvents(handle(0), nvml::kEventTypeXidCriticalError | kSingleBitEcc, set),
              nvml::kErrorNotSupported);
    EXPECT_EQ(f.deviceRegisterEvents(nullptr, nvml::kEventTypeXidCriticalError, set), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.eventSetCreate(nullptr), nvml::kErrorInvalidArgument);
    nvml::EventData data{};
    EXPECT_EQ(f.eventSetWait(set, nullptr, 0), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.eventSetWait(set, &data, 0), nvml::kErrorTimeout) << "nothing registered";
    ASSERT_EQ(f.eventSetFree(set), nvml::kSuccess);
    EXPECT_EQ(f.eventSetFree(set), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.eventSetWait(set, &data, 0), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceRegisterEvents(handle(0), nvml::kEventTypeXidCriticalError, set), nvml::kErrorInvalidArgument);
}

namespace {

// Calls the function on the device with valid arguments, through the library's table (for
// nvmlDeviceGetCurrentClocksThrottleReasons, the old driver's fallback).
nvml::Return callOnDevice(const NvmlFunctions& f, EmulatedNvmlFunction function, nvml::Device d, nvml::EventSet set) {
    char text[nvml::kDeviceNameV2BufferSize];
    unsigned int value = 0;
    unsigned int rows[4];
    unsigned long long wide = 0;
    nvml::EnableState state = nvml::kFeatureDisabled;
    nvml::EnableState pending = nvml::kFeatureDisabled;
    switch (function) {
        case EmulatedNvmlFunction::nvmlDeviceGetName:
            return f.deviceGetName(d, text, sizeof text);
        case EmulatedNvmlFunction::nvmlDeviceGetCurrPcieLinkGeneration:
            return f.deviceGetCurrPcieLinkGeneration(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetCurrPcieLinkWidth:
            return f.deviceGetCurrPcieLinkWidth(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetMaxPcieLinkGeneration:
            return f.deviceGetMaxPcieLinkGeneration(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetMaxPcieLinkWidth:
            return f.deviceGetMaxPcieLinkWidth(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetPcieReplayCounter:
            return f.deviceGetPcieReplayCounter(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetEccMode:
            return f.deviceGetEccMode(d, &state, &pending);
        case EmulatedNvmlFunction::nvmlDeviceGetTotalEccErrors:
            return f.deviceGetTotalEccErrors(d, nvml::kMemoryErrorCorrected, nvml::kVolatileEcc, &wide);
        case EmulatedNvmlFunction::nvmlDeviceGetRemappedRows:
            return f.deviceGetRemappedRows(d, &rows[0], &rows[1], &rows[2], &rows[3]);
        case EmulatedNvmlFunction::nvmlDeviceGetRetiredPagesPendingStatus:
            return f.deviceGetRetiredPagesPendingStatus(d, &state);
        case EmulatedNvmlFunction::nvmlDeviceGetEnforcedPowerLimit:
            return f.deviceGetEnforcedPowerLimit(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetPowerUsage:
            return f.deviceGetPowerUsage(d, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetMaxClockInfo:
            return f.deviceGetMaxClockInfo(d, nvml::kClockSm, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetClockInfo:
            return f.deviceGetClockInfo(d, nvml::kClockMem, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetTemperature:
            return f.deviceGetTemperature(d, nvml::kTemperatureGpu, &value);
        case EmulatedNvmlFunction::nvmlDeviceGetCurrentClocksEventReasons:
        case EmulatedNvmlFunction::nvmlDeviceGetCurrentClocksThrottleReasons:
            return f.deviceGetCurrentClocksEventReasons(d, &wide);
        case EmulatedNvmlFunction::nvmlDeviceGetSupportedEventTypes:
            return f.deviceGetSupportedEventTypes(d, &wide);
        case EmulatedNvmlFunction::nvmlDeviceRegisterEvents:
            return f.deviceRegisterEvents(d, nvml::kEventTypeXidCriticalError, set);
        case EmulatedNvmlFunction::count:
            break;
    }
    return nvml::kErrorUnknown;
}

}  // namespace

class EmulatedNvmlUnsupported : public NvmlStandInTest, public testing::WithParamInterface<int> {};

TEST_P(EmulatedNvmlUnsupported, FunctionAnswersNotSupportedOnThatDeviceOnly) {
    const auto function = static_cast<EmulatedNvmlFunction>(GetParam());
    const std::string name = emulatedNvmlFunctionName(function);
    // The throttle-reasons name is what the old driver's library offers for the clocks-event reasons.
    const bool throttle = function == EmulatedNvmlFunction::nvmlDeviceGetCurrentClocksThrottleReasons;
    start("1:unsupported=" + name, 2, throttle ? kOldDriverNvml : kStandInNvml);
    nvml::EventSet set = nullptr;
    ASSERT_EQ(nvmlFunctions().eventSetCreate(&set), nvml::kSuccess);
    EXPECT_EQ(callOnDevice(nvmlFunctions(), function, handle(1), set), nvml::kErrorNotSupported) << name;
    EXPECT_EQ(callOnDevice(nvmlFunctions(), function, handle(0), set), nvml::kSuccess) << name;
}

INSTANTIATE_TEST_SUITE_P(Functions, EmulatedNvmlUnsupported,
                         testing::Range(0, static_cast<int>(EmulatedNvmlFunction::count)),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(
                                 emulatedNvmlFunctionName(static_cast<EmulatedNvmlFunction>(info.param)));
                         });

TEST_F(EmulatedNvml, InitFailsAsWithoutADriverAndNothingElseAnswers) {
    ASSERT_EQ(setVariable("KAVREL_EMULATED_NVML", "init=FAIL"), 0);
    library = openNvmlLibrary({kStandInNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    const NvmlFunctions& f = nvmlFunctions();
    ASSERT_EQ(f.init(), nvml::kErrorDriverNotLoaded);
    EXPECT_EQ(library.statusText(nvml::kErrorDriverNotLoaded), "Driver Not Loaded");
    nvml::Device device = nullptr;
    EXPECT_EQ(f.deviceGetHandleByUuid(cudaUuid(0).c_str(), &device), nvml::kErrorUninitialized);
    EXPECT_EQ(f.shutdown(), nvml::kErrorUninitialized);
}

TEST_F(EmulatedNvml, CountsInitsAndAnswersNothingOnceShutDown) {
    library = openNvmlLibrary({kStandInNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    const NvmlFunctions& f = nvmlFunctions();
    char version[nvml::kSystemDriverVersionBufferSize];
    EXPECT_EQ(f.systemGetDriverVersion(version, sizeof version), nvml::kErrorUninitialized);
    EXPECT_STREQ(f.errorString(nvml::kErrorNotFound), "Not Found") << "needs no init";
    EXPECT_STREQ(f.errorString(static_cast<nvml::Return>(42)), "Unknown Error");
    ASSERT_EQ(f.init(), nvml::kSuccess);
    ASSERT_EQ(f.init(), nvml::kSuccess);
    ASSERT_EQ(f.shutdown(), nvml::kSuccess);
    nvml::Device device = handle(0);
    EXPECT_EQ(f.systemGetDriverVersion(version, sizeof version), nvml::kSuccess) << "one init is left";
    EXPECT_STREQ(version, "990.00");
    ASSERT_EQ(f.shutdown(), nvml::kSuccess);
    unsigned int value = 0;
    EXPECT_EQ(f.deviceGetPowerUsage(device, &value), nvml::kErrorUninitialized);
    EXPECT_EQ(f.shutdown(), nvml::kErrorUninitialized);
}

TEST_F(EmulatedNvml, RefusesWhatNvmlRefusesAndWhatItDoesNotModel) {
    start("0:ecc=off", 2);
    const NvmlFunctions& f = nvmlFunctions();
    const nvml::Device device = handle(1);
    int notADevice = 0;
    auto* const stranger = reinterpret_cast<nvml::DeviceRecord*>(&notADevice);
    unsigned int value = 0;
    unsigned long long wide = 0;
    char text[nvml::kDeviceUuidV2BufferSize];
    nvml::EnableState state = nvml::kFeatureDisabled;

    EXPECT_EQ(f.deviceGetPowerUsage(stranger, &value), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceGetUuid(stranger, text, sizeof text), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceGetPowerUsage(device, nullptr), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceGetEccMode(device, &state, nullptr), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.deviceGetHandleByUuid(nullptr, nullptr), nvml::kErrorInvalidArgument);
    EXPECT_EQ(f.systemGetDriverVersion(nullptr, 80), nvml::kErrorInvalidArgument);

    EXPECT_EQ(f.deviceGetUuid(device, text, 40), nvml::kErrorInsufficientSize) << "40 characters and a null";
    EXPECT_EQ(f.deviceGetUuid(device, text, 41), nvml::kSuccess);
    EXPECT_EQ(f.deviceGetName(device, text, static_cast<unsigned>(std::strlen(kEmulatedDeviceName))),
              nvml::kErrorInsufficientSize);
    EXPECT_EQ(f.systemGetDriverVersion(text, 6), nvml::kErrorInsufficientSize);

    EXPECT_EQ(f.deviceGetClockInfo(device, nvml::kClockGraphics, &value), nvml::kErrorNotSupported);
    EXPECT_EQ(f.deviceGetMaxClockInfo(device, nvml::kClockVideo, &value), nvml::kErrorNotSupported);
    EXPECT_EQ(f.deviceGetTemperature(device, nvml::kTemperatureGpuMax, &value), nvml::kErrorNotSupported);
    EXPECT_EQ(f.deviceGetTotalEccErrors(device, nvml::kMemoryErrorCorrected, nvml::kAggregateEcc, &wide),
              nvml::kErrorNotSupported);
    EXPECT_EQ(f.deviceGetTotalEccErrors(handle(0), nvml::kMemoryErrorCorrected, nvml::kVolatileEcc, &wide),
              nvml::kErrorNotSupported)
        << "ECC is off on device 0";
}

// The variables are read at nvmlInit_v2, so each case sets them in a child started afresh and initialises there.
TEST_F(EmulatedNvml, MalformedVariablesStopTheProcessWithStatusTwo) {
    library = openNvmlLibrary({kStandInNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    const nvml::InitFn init = nvmlFunctions().init;
    EXPECT_EXIT(
        {
            setVariable("KAVREL_EMULATED_NVML", "0:temp=45,0:temp=hot");
            init();
        },
        testing::ExitedWithCode(2), "^KAVREL_EMULATED_NVML: bad item \"0:temp=hot\" \\(expected temp=N");
    EXPECT_EXIT(
        {
            setVariable("KAVREL_EMULATED_DEVICES", "2x");
            init();
        },
        testing::ExitedWithCode(2), "^KAVREL_EMULATED_DEVICES: bad value \"2x\"");
}

TEST_F(EmulatedNvml, ItemsForDevicesNotModelledWarnAndTheRunGoesOn) {
    library = openNvmlLibrary({kStandInNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    const NvmlFunctions& f = nvmlFunctions();
    const std::string expected = emulatedNvmlUnreachableItemMessage("3:temp=90", 2) + "\n" +
                                 emulatedNvmlUnreachableItemMessage("2:xid=79", 2) + "\n";
    const std::string uuid = cudaUuid(1);
    EXPECT_EXIT(
        {
            setVariable("KAVREL_EMULATED_DEVICES", "2");
            setVariable("KAVREL_EMULATED_NVML", "3:temp=90,1:temp=80,2:xid=79");
            nvml::Device device = nullptr;
            unsigned int temperature = 0;
            const bool read = f.init() == nvml::kSuccess &&
                              f.deviceGetHandleByUuid(uuid.c_str(), &device) == nvml::kSuccess &&
                              f.deviceGetTemperature(device, nvml::kTemperatureGpu, &temperature) == nvml::kSuccess;
            std::exit(read && temperature == 80 ? 0 : 1);
        },
        testing::ExitedWithCode(0), testing::Matcher<const std::string&>(expected));
}
