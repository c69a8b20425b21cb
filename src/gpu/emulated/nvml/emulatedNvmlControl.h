// The stand-in NVML's defaults, the scenario KAVREL_EMULATED_NVML describes, and how a device's readings follow its
// scenario's timelines.
//
// Only the stand-in NVML library and tests include this; program code reaches NVML through gpu/nvml/nvmlLibrary.h
// alone.
#pragma once

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The variable holding the scenario, read at the first nvmlInit_v2 (and again at the first one after every full
// nvmlShutdown); its times count from that call.
constexpr char kEmulatedNvmlVariable[] = "KAVREL_EMULATED_NVML";

// The driver version nvmlSystemGetDriverVersion reports: the stand-in's own, above any real driver's, so that its
// output is never mistaken for a real driver's.
constexpr char kEmulatedNvmlDriverVersion[] = "990.00";

// The largest time an item may name: a million seconds, in milliseconds.
constexpr long long kEmulatedNvmlMaxTimeMs = 1000000LL * 1000;

// The device functions KAVREL_EMULATED_NVML's "unsupported=FUNCTION" can make answer NVML_ERROR_NOT_SUPPORTED, by
// their NVML names: the one list from which the enumerators and the parser derive. nvmlDeviceGetHandleByUUID and
// nvmlDeviceGetUUID are not among them, as they are how a device is found at all.
// clang-format off
#define KAVREL_EMULATED_NVML_FUNCTIONS(X)                                                                       \
    X(nvmlDeviceGetName) X(nvmlDeviceGetCurrPcieLinkGeneration) X(nvmlDeviceGetCurrPcieLinkWidth)               \
    X(nvmlDeviceGetMaxPcieLinkGeneration) X(nvmlDeviceGetMaxPcieLinkWidth) X(nvmlDeviceGetPcieReplayCounter)    \
    X(nvmlDeviceGetEccMode) X(nvmlDeviceGetTotalEccErrors) X(nvmlDeviceGetRemappedRows)                         \
    X(nvmlDeviceGetRetiredPagesPendingStatus) X(nvmlDeviceGetEnforcedPowerLimit) X(nvmlDeviceGetPowerUsage)     \
    X(nvmlDeviceGetMaxClockInfo) X(nvmlDeviceGetClockInfo) X(nvmlDeviceGetTemperature)                          \
    X(nvmlDeviceGetCurrentClocksEventReasons) X(nvmlDeviceGetCurrentClocksThrottleReasons)                      \
    X(nvmlDeviceGetSupportedEventTypes) X(nvmlDeviceRegisterEvents)
// clang-format on

#define KAVREL_EMULATED_NVML_ENUMERATOR(name) name,
enum class EmulatedNvmlFunction : int { KAVREL_EMULATED_NVML_FUNCTIONS(KAVREL_EMULATED_NVML_ENUMERATOR) count };
#undef KAVREL_EMULATED_NVML_ENUMERATOR

// The function's NVML name; null for count or any value outside the list.
const char* emulatedNvmlFunctionName(EmulatedNvmlFunction function);

// A device's readings, each set by its key and following its own timeline. The current link and clocks follow the
// maximum ones at the same time until they are set themselves.
enum class EmulatedNvmlReading : int {
    linkGeneration,       // link=GxW, default the maximum
    linkWidth,            //
    maxLinkGeneration,    // maxlink=GxW, default 5x16
    maxLinkWidth,         //
    temperature,          // temp=C, default 45
    powerWatts,           // power=W, default 300
    powerLimitWatts,      // powerlimit=W, default 700
    smClock,              // sm_clock=MHz, default the maximum
    memClock,             // mem_clock=MHz, default the maximum
    maxSmClock,           // max_sm_clock=MHz, default 1980
    maxMemClock,          // max_mem_clock=MHz, default 2619
    remapPending,         // remap_pending=0|1, default 0
    remapFailure,         // remap_failure=0|1, default 0
    remappedCorrected,    // remapped_corrected=N, default 0
    remappedUncorrected,  // remapped_uncorrected=N, default 0
    retiredPending,       // retired_pending=0|1, default 0
    count
};

// A device's counters, which only rise: KEY+=N adds N from its time on.
enum class EmulatedNvmlCounter : int {
    eccUncorrected,  // ecc_uncorrected+=N, volatile uncorrected ECC errors
    eccCorrected,    // ecc_corrected+=N, volatile corrected ECC errors
    pcieReplay,      // replay+=N, the PCIe replay counter
    count
};

// From atMs on (milliseconds since nvmlInit_v2): a reading's value, a counter's increment, or an Xid.
struct EmulatedNvmlStep {
    long long atMs;
    unsigned long long value;
};

// Clocks-event reason bits asserted from fromMs until untilMs (not included), or for ever when untilMs is -1.
struct EmulatedNvmlThrottle {
    unsigned long long reasons;
    long long fromMs;
    long long untilMs;
};

// What the scenario sets for one device.
struct EmulatedNvmlDevice {
    std::array<std::vector<EmulatedNvmlStep>, static_cast<int>(EmulatedNvmlReading::count)> readings;
    std::array<std::vector<EmulatedNvmlStep>, static_cast<int>(EmulatedNvmlCounter::count)> counters;
    std::vector<EmulatedNvmlThrottle> throttles;
    std::vector<EmulatedNvmlStep> xids;  // ordered by time, then as written
    bool eccEnabled = true;
    bool eccNamed = false;
    std::array<bool, static_cast<int>(EmulatedNvmlFunction::count)> unsupported{};
};

// A parsed KAVREL_EMULATED_NVML value, or the first item that is malformed and what it should have been.
struct EmulatedNvmlScenario {
    bool valid = true;
    std::string badItem;   // set when not valid
    std::string expected;  // set when not valid: what the item should have been
    bool initFails = false;
    std::map<int, EmulatedNvmlDevice> devices;             // by device index, only those the items name
    std::vector<std::pair<int, std::string>> deviceItems;  // each device item's device and text, in order
};

// Parses comma-separated items: init=FAIL, or DEVICE:KEY=VALUE[@TIME] for the readings above (link and maxlink as
// GxW), DEVICE:COUNTER+=N[@TIME], DEVICE:throttle=REASON[+REASON...][@FROM[-UNTIL]], DEVICE:xid=N[@TIME],
// DEVICE:ecc=on|off and DEVICE:unsupported=FUNCTION. DEVICE is a decimal index that fits in an int; TIME is 500ms,
// 5s, 2.5s or 2.5 (seconds, at most three decimals), at most kEmulatedNvmlMaxTimeMs, 0 when left out. A reading
// set twice for the same time, or ecc named twice, is malformed. An empty text is a scenario of defaults.
EmulatedNvmlScenario emulatedNvmlParseScenario(const char* text);

// The line the stand-in writes to standard error before ending the process for a malformed scenario; no line break
// at its end.
std::string emulatedNvmlBadScenarioMessage(const EmulatedNvmlScenario& scenario);

// The warning line for an item naming a device at or above the modelled count, worded as the CUDA stand-in words
// it; no line break at its end.
std::string emulatedNvmlUnreachableItemMessage(const std::string& item, int deviceCount);

// Parses KAVREL_EMULATED_DEVICES as the CUDA stand-in does: a decimal count from 1 to 16 with no sign or other
// characters, an empty text being 1; false when it is anything else.
bool emulatedNvmlParseDeviceCount(const char* text, int* count);

// The line for a malformed KAVREL_EMULATED_DEVICES value, the CUDA stand-in's; no line break at its end.
std::string emulatedNvmlBadDeviceCountMessage(const std::string& value);

// The reading at ms milliseconds since nvmlInit_v2: the value of its latest step at or before ms, else its default.
unsigned long long emulatedNvmlReading(const EmulatedNvmlDevice& device, EmulatedNvmlReading reading, long long ms);

// The counter at ms: the sum of its increments at or before ms.
unsigned long long emulatedNvmlCounter(const EmulatedNvmlDevice& device, EmulatedNvmlCounter counter, long long ms);

// The clocks-event reason bits asserted at ms: those of every throttle item whose interval holds ms.
unsigned long long emulatedNvmlClocksEventReasons(const EmulatedNvmlDevice& device, long long ms);
