// The stand-in NVML: NVML's C functions, exported from a shared library that the host stand-in backend loads as it
// would the driver's, answering for the devices of KAVREL_EMULATED_DEVICES with the readings of KAVREL_EMULATED_NVML.
//
// Built twice: as is, and with KAVREL_NVML_OLD_DRIVER as an older driver's library, which lacks
// nvmlDeviceGetCurrentClocksEventReasons (exporting only nvmlDeviceGetCurrentClocksThrottleReasons) and
// nvmlDeviceGetRemappedRows.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "common/decimalText.h"
#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/nvml/emulatedNvmlControl.h"
#include "gpu/nvml/nvmlApi.h"

#if defined(_WIN32)
#define KAVREL_NVML_EXPORT __declspec(dllexport)
#else
#define KAVREL_NVML_EXPORT __attribute__((visibility("default")))
#endif

// Every export has exactly the type nvmlApi.h gives it, which tests/nvmlApiCheck.cpp proves to be NVIDIA's.
// The symbol is the name being declared, which parentheses would not improve.
#define KAVREL_NVML_DECLARE(member, symbol, type) \
    extern "C" KAVREL_NVML_EXPORT std::remove_pointer_t<nvml::type> symbol;  // NOLINT(bugprone-macro-parentheses)
KAVREL_NVML_FUNCTIONS(KAVREL_NVML_DECLARE)
KAVREL_NVML_FALLBACKS(KAVREL_NVML_DECLARE)
#undef KAVREL_NVML_DECLARE

// A device handle points at one of these.
struct nvml::DeviceRecord {
    int index;
};

// An event set: the devices registered on it, each with how many of its Xid events the set has delivered.
struct nvml::EventSetRecord {
    struct Registration {
        int device;
        std::size_t delivered;
    };
    std::vector<Registration> registrations;
};

namespace {

using Clock = std::chrono::steady_clock;
using nvml::Return;

constexpr const char* kDevicesVariable = "KAVREL_EMULATED_DEVICES";

// MIG is not modelled, so no event is attributed to a GPU or compute instance.
constexpr unsigned int kNoInstance = 0xFFFFFFFFU;

// Everything the stand-in knows, under one lock.
struct StandIn {
    std::mutex mutex;
    std::condition_variable changed;  // an event set was freed or NVML shut down, which a waiting call must notice
    int initCount = 0;
    Clock::time_point start;
    int deviceCount = kEmulatedDefaultDeviceCount;
    int nodeNumber = 0;  // KAVREL_EMULATED_NODE, written into the UUIDs as the CUDA stand-in writes it
    EmulatedNvmlScenario scenario;
    EmulatedNvmlDevice defaults;  // for the devices the scenario does not name
    std::array<nvml::DeviceRecord, kEmulatedMaxDevices> records{};
    std::vector<std::unique_ptr<nvml::EventSetRecord>> sets;
};

// The one state, built at first use and destroyed when the library is unloaded.
StandIn& standIn() {
    static StandIn state;
    return state;
}

// The environment variable's value, or false when it is not set.
bool readVariable(const char* name, std::string* value) {
#if defined(_MSC_VER)
    char* buffer = nullptr;
    std::size_t length = 0;
    const bool set = _dupenv_s(&buffer, &length, name) == 0 && buffer != nullptr;
    if (set) {
        *value = buffer;
    }
    std::free(buffer);
    return set;
#else
    const char* text = std::getenv(name);
    if (text != nullptr) {
        *value = text;
    }
    return text != nullptr;
#endif
}

// Writes the line to standard error and ends the process with status 2, as the CUDA stand-in does for a malformed
// variable. It needs no exception for --help and --version: a program answering those never calls nvmlInit_v2,
// where the variables are read.
[[noreturn]] void stopWithBadValue(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::exit(2);
}

// Milliseconds since the nvmlInit_v2 that read the scenario.
long long elapsedMs(const StandIn& state) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - state.start).count();
}

// The index of the device the handle points at, or -1 when it is not a modelled device's handle.
int deviceIndex(const StandIn& state, nvml::Device device) {
    for (int index = 0; index < state.deviceCount; ++index) {
        if (device == &state.records[index]) {
            return index;
        }
    }
    return -1;
}

// What the scenario sets for the device: its own entry, or every default.
const EmulatedNvmlDevice& deviceScenario(const StandIn& state, int index) {
    const auto found = state.scenario.devices.find(index);
    return found != state.scenario.devices.end() ? found->second : state.defaults;
}

// Whether the handle is an event set created and not yet freed.
bool validSet(const StandIn& state, nvml::EventSet set) {
    return std::any_of(state.sets.begin(), state.sets.end(),
                       [set](const std::unique_ptr<nvml::EventSetRecord>& owned) { return owned.get() == set; });
}

// Device d's UUID as text, as the program formats the CUDA stand-in's: kEmulatedUuidPrefix with the node number as
// its last byte, followed by the byte d.
std::string uuidText(int nodeNumber, int index) {
    unsigned char bytes[16];
    std::memcpy(bytes, kEmulatedUuidPrefix, sizeof kEmulatedUuidPrefix);
    bytes[14] = static_cast<unsigned char>(nodeNumber);
    bytes[15] = static_cast<unsigned char>(index);
    char text[48];
    std::snprintf(text, sizeof text, "GPU-%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// Copies the text and its null into the buffer when it fits.
Return copyText(const std::string& text, char* buffer, unsigned int length) {
    if (text.size() + 1 > length) {
        return nvml::kErrorInsufficientSize;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return nvml::kSuccess;
}

// The checks of every device query, in NVML's order (initialised, a modelled device and its outputs given, then
// whether the device offers it), then read on the device's scenario at this moment of the run, under the lock.
template <typename Read>
Return queryDevice(nvml::Device device, EmulatedNvmlFunction function, bool outputsGiven, Read read) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    const int index = deviceIndex(state, device);
    if (index < 0 || !outputsGiven) {
        return nvml::kErrorInvalidArgument;
    }
    const EmulatedNvmlDevice& scenario = deviceScenario(state, index);
    if (scenario.unsupported[static_cast<int>(function)]) {
        return nvml::kErrorNotSupported;
    }
    return read(scenario, elapsedMs(state));
}

// A query that writes one reading, scaled, as an unsigned int.
Return readReading(nvml::Device device, EmulatedNvmlFunction function, EmulatedNvmlReading reading,
                   unsigned long long scale, unsigned int* value) {
    return queryDevice(device, function, value != nullptr, [&](const EmulatedNvmlDevice& scenario, long long ms) {
        *value = static_cast<unsigned int>(emulatedNvmlReading(scenario, reading, ms) * scale);
        return nvml::kSuccess;
    });
}

// The reading a clock query asks for: the SM and memory clocks are modelled, the graphics and video clocks are not.
Return readClock(nvml::Device device, EmulatedNvmlFunction function, nvml::ClockType type, bool maximum,
                 unsigned int* clock) {
    return queryDevice(device, function, clock != nullptr, [&](const EmulatedNvmlDevice& scenario, long long ms) {
        const int kind = static_cast<int>(type);
        if (kind == nvml::kClockGraphics || kind == nvml::kClockVideo) {
            return nvml::kErrorNotSupported;
        }
        if (kind != nvml::kClockSm && kind != nvml::kClockMem) {
            return nvml::kErrorInvalidArgument;
        }
        const EmulatedNvmlReading reading =
            kind == nvml::kClockSm ? (maximum ? EmulatedNvmlReading::maxSmClock : EmulatedNvmlReading::smClock)
                                   : (maximum ? EmulatedNvmlReading::maxMemClock : EmulatedNvmlReading::memClock);
        *clock = static_cast<unsigned int>(emulatedNvmlReading(scenario, reading, ms));
        return nvml::kSuccess;
    });
}

// A query of the clocks-event reasons, under either of its names.
Return readClocksEventReasons(nvml::Device device, EmulatedNvmlFunction function, unsigned long long* reasons) {
    return queryDevice(device, function, reasons != nullptr, [&](const EmulatedNvmlDevice& scenario, long long ms) {
        *reasons = emulatedNvmlClocksEventReasons(scenario, ms);
        return nvml::kSuccess;
    });
}

// NVML's form of a yes or no.
nvml::EnableState enableState(bool enabled) {
    return enabled ? nvml::kFeatureEnabled : nvml::kFeatureDisabled;
}

}  // namespace

// The exports. Each answers as NVML documents it, with NVML's statuses: kErrorUninitialized before nvmlInit_v2,
// kErrorInvalidArgument for a handle it did not give out or an output left null, kErrorNotSupported for what the
// scenario made unsupported or the stand-in does not model, and the scenario's reading at this moment of the run.

// Reads KAVREL_EMULATED_DEVICES and KAVREL_EMULATED_NVML and starts the scenario's clock at the first call, and after
// every full nvmlShutdown; a further call only counts. A malformed value ends the process (stopWithBadValue).
Return nvmlInit_v2() {
    StandIn& state = standIn();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.initCount > 0) {
            ++state.initCount;
            return nvml::kSuccess;
        }
    }
    // Read without the lock, as a malformed value ends the process.
    std::string value;
    int count = kEmulatedDefaultDeviceCount;
    if (readVariable(kDevicesVariable, &value) && !emulatedNvmlParseDeviceCount(value.c_str(), &count)) {
        stopWithBadValue(emulatedNvmlBadDeviceCountMessage(value));
    }
    // The CUDA stand-in has already refused a malformed node number.
    std::uint64_t nodeValue = 0;
    const int node = readVariable("KAVREL_EMULATED_NODE", &value) &&
                             readDecimalCount(value, kEmulatedMaxNodeNumber, &nodeValue) == DecimalCount::read
                         ? static_cast<int>(nodeValue)
                         : 0;
    EmulatedNvmlScenario scenario;
    if (readVariable(kEmulatedNvmlVariable, &value)) {
        scenario = emulatedNvmlParseScenario(value.c_str());
        if (!scenario.valid) {
            stopWithBadValue(emulatedNvmlBadScenarioMessage(scenario));
        }
    }
    for (const auto& item : scenario.deviceItems) {
        if (item.first >= count) {
            std::fprintf(stderr, "%s\n", emulatedNvmlUnreachableItemMessage(item.second, count).c_str());
            std::fflush(stderr);
        }
    }
    if (scenario.initFails) {
        return nvml::kErrorDriverNotLoaded;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    // Another thread may have finished its first call meanwhile.
    if (state.initCount == 0) {
        state.deviceCount = count;
        state.nodeNumber = node;
        state.scenario = std::move(scenario);
        for (int index = 0; index < kEmulatedMaxDevices; ++index) {
            state.records[index].index = index;
        }
        state.start = Clock::now();
    }
    ++state.initCount;
    return nvml::kSuccess;
}

// Undoes one nvmlInit_v2; the last frees every event set and ends every wait.
Return nvmlShutdown() {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    if (--state.initCount == 0) {
        state.sets.clear();
        state.changed.notify_all();
    }
    return nvml::kSuccess;
}

// Text for every status, initialised or not.
const char* nvmlErrorString(Return result) {
    switch (static_cast<int>(result)) {
        case nvml::kSuccess:
            return "Success";
        case nvml::kErrorUninitialized:
            return "Uninitialized";
        case nvml::kErrorInvalidArgument:
            return "Invalid Argument";
        case nvml::kErrorNotSupported:
            return "Not Supported";
        case nvml::kErrorNoPermission:
            return "Insufficient Permissions";
        case nvml::kErrorNotFound:
            return "Not Found";
        case nvml::kErrorInsufficientSize:
            return "Insufficient Size";
        case nvml::kErrorDriverNotLoaded:
            return "Driver Not Loaded";
        case nvml::kErrorTimeout:
            return "Timeout";
        case nvml::kErrorGpuIsLost:
            return "GPU is lost";
        default:
            return "Unknown Error";
    }
}

Return nvmlSystemGetDriverVersion(char* version, unsigned int length) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    return version == nullptr ? nvml::kErrorInvalidArgument : copyText(kEmulatedNvmlDriverVersion, version, length);
}

// Finds the device by its text UUID, exactly as nvmlDeviceGetUUID writes it.
Return nvmlDeviceGetHandleByUUID(const char* uuid, nvml::Device* device) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    if (uuid == nullptr || device == nullptr) {
        return nvml::kErrorInvalidArgument;
    }
    for (int index = 0; index < state.deviceCount; ++index) {
        if (uuidText(state.nodeNumber, index) == uuid) {
            *device = &state.records[index];
            return nvml::kSuccess;
        }
    }
    return nvml::kErrorNotFound;
}

Return nvmlDeviceGetUUID(nvml::Device device, char* uuid, unsigned int length) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    const int index = deviceIndex(state, device);
    if (index < 0 || uuid == nullptr) {
        return nvml::kErrorInvalidArgument;
    }
    return copyText(uuidText(state.nodeNumber, index), uuid, length);
}

Return nvmlDeviceGetName(nvml::Device device, char* name, unsigned int length) {
    return queryDevice(
        device, EmulatedNvmlFunction::nvmlDeviceGetName, name != nullptr,
        [&](const EmulatedNvmlDevice&, long long) { return copyText(kEmulatedDeviceName, name, length); });
}

Return nvmlDeviceGetCurrPcieLinkGeneration(nvml::Device device, unsigned int* currLinkGen) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetCurrPcieLinkGeneration,
                       EmulatedNvmlReading::linkGeneration, 1, currLinkGen);
}

Return nvmlDeviceGetCurrPcieLinkWidth(nvml::Device device, unsigned int* currLinkWidth) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetCurrPcieLinkWidth, EmulatedNvmlReading::linkWidth, 1,
                       currLinkWidth);
}

Return nvmlDeviceGetMaxPcieLinkGeneration(nvml::Device device, unsigned int* maxLinkGen) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetMaxPcieLinkGeneration,
                       EmulatedNvmlReading::maxLinkGeneration, 1, maxLinkGen);
}

Return nvmlDeviceGetMaxPcieLinkWidth(nvml::Device device, unsigned int* maxLinkWidth) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetMaxPcieLinkWidth, EmulatedNvmlReading::maxLinkWidth,
                       1, maxLinkWidth);
}

Return nvmlDeviceGetPcieReplayCounter(nvml::Device device, unsigned int* value) {
    return queryDevice(
        device, EmulatedNvmlFunction::nvmlDeviceGetPcieReplayCounter, value != nullptr,
        [&](const EmulatedNvmlDevice& scenario, long long ms) {
            *value = static_cast<unsigned int>(emulatedNvmlCounter(scenario, EmulatedNvmlCounter::pcieReplay, ms));
            return nvml::kSuccess;
        });
}

// ECC mode cannot change without a reset, so the pending mode is always the current one.
Return nvmlDeviceGetEccMode(nvml::Device device, nvml::EnableState* current, nvml::EnableState* pending) {
    return queryDevice(device, EmulatedNvmlFunction::nvmlDeviceGetEccMode, current != nullptr && pending != nullptr,
                       [&](const EmulatedNvmlDevice& scenario, long long) {
                           *current = enableState(scenario.eccEnabled);
                           *pending = *current;
                           return nvml::kSuccess;
                       });
}

// Volatile counts only: the aggregate ones, kept over the device's life, are not modelled.
Return nvmlDeviceGetTotalEccErrors(nvml::Device device, nvml::MemoryErrorType errorType,
                                   nvml::EccCounterType counterType, unsigned long long* eccCounts) {
    return queryDevice(device, EmulatedNvmlFunction::nvmlDeviceGetTotalEccErrors, eccCounts != nullptr,
                       [&](const EmulatedNvmlDevice& scenario, long long ms) {
                           const int type = static_cast<int>(errorType);
                           const int counter = static_cast<int>(counterType);
                           if ((type != nvml::kMemoryErrorCorrected && type != nvml::kMemoryErrorUncorrected) ||
                               (counter != nvml::kVolatileEcc && counter != nvml::kAggregateEcc)) {
                               return nvml::kErrorInvalidArgument;
                           }
                           if (!scenario.eccEnabled || counter == nvml::kAggregateEcc) {
                               return nvml::kErrorNotSupported;
                           }
                           *eccCounts = emulatedNvmlCounter(scenario,
                                                            type == nvml::kMemoryErrorUncorrected
                                                                ? EmulatedNvmlCounter::eccUncorrected
                                                                : EmulatedNvmlCounter::eccCorrected,
                                                            ms);
                           return nvml::kSuccess;
                       });
}

#if !defined(KAVREL_NVML_OLD_DRIVER)
Return nvmlDeviceGetRemappedRows(nvml::Device device, unsigned int* corrRows, unsigned int* uncRows,
                                 unsigned int* isPending, unsigned int* failureOccurred) {
    const bool given = corrRows != nullptr && uncRows != nullptr && isPending != nullptr && failureOccurred != nullptr;
    return queryDevice(device, EmulatedNvmlFunction::nvmlDeviceGetRemappedRows, given,
                       [&](const EmulatedNvmlDevice& scenario, long long ms) {
                           const auto read = [&](EmulatedNvmlReading reading) {
                               return static_cast<unsigned int>(emulatedNvmlReading(scenario, reading, ms));
                           };
                           *corrRows = read(EmulatedNvmlReading::remappedCorrected);
                           *uncRows = read(EmulatedNvmlReading::remappedUncorrected);
                           *isPending = read(EmulatedNvmlReading::remapPending);
                           *failureOccurred = read(EmulatedNvmlReading::remapFailure);
                           return nvml::kSuccess;
                       });
}
#endif

Return nvmlDeviceGetRetiredPagesPendingStatus(nvml::Device device, nvml::EnableState* isPending) {
    return queryDevice(device, EmulatedNvmlFunction::nvmlDeviceGetRetiredPagesPendingStatus, isPending != nullptr,
                       [&](const EmulatedNvmlDevice& scenario, long long ms) {
                           *isPending =
                               enableState(emulatedNvmlReading(scenario, EmulatedNvmlReading::retiredPending, ms) != 0);
                           return nvml::kSuccess;
                       });
}

// NVML gives power in milliwatts; the scenario sets watts.
Return nvmlDeviceGetEnforcedPowerLimit(nvml::Device device, unsigned int* limit) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetEnforcedPowerLimit,
                       EmulatedNvmlReading::powerLimitWatts, 1000, limit);
}

Return nvmlDeviceGetPowerUsage(nvml::Device device, unsigned int* power) {
    return readReading(device, EmulatedNvmlFunction::nvmlDeviceGetPowerUsage, EmulatedNvmlReading::powerWatts, 1000,
                       power);
}

Return nvmlDeviceGetMaxClockInfo(nvml::Device device, nvml::ClockType type, unsigned int* clock) {
    return readClock(device, EmulatedNvmlFunction::nvmlDeviceGetMaxClockInfo, type, true, clock);
}

Return nvmlDeviceGetClockInfo(nvml::Device device, nvml::ClockType type, unsigned int* clock) {
    return readClock(device, EmulatedNvmlFunction::nvmlDeviceGetClockInfo, type, false, clock);
}

// The GPU die's temperature is modelled; the hottest point of the die (sensor 1) is not.
Return nvmlDeviceGetTemperature(nvml::Device device, nvml::TemperatureSensor sensorType, unsigned int* temp) {
    return queryDevice(
        device, EmulatedNvmlFunction::nvmlDeviceGetTemperature, temp != nullptr,
        [&](const EmulatedNvmlDevice& scenario, long long ms) {
            const int sensor = static_cast<int>(sensorType);
            if (sensor != nvml::kTemperatureGpu) {
                return sensor == nvml::kTemperatureGpuMax ? nvml::kErrorNotSupported : nvml::kErrorInvalidArgument;
            }
            *temp = static_cast<unsigned int>(emulatedNvmlReading(scenario, EmulatedNvmlReading::temperature, ms));
            return nvml::kSuccess;
        });
}

#if !defined(KAVREL_NVML_OLD_DRIVER)
Return nvmlDeviceGetCurrentClocksEventReasons(nvml::Device device, unsigned long long* clocksEventReasons) {
    return readClocksEventReasons(device, EmulatedNvmlFunction::nvmlDeviceGetCurrentClocksEventReasons,
                                  clocksEventReasons);
}
#endif

Return nvmlDeviceGetCurrentClocksThrottleReasons(nvml::Device device, unsigned long long* clocksThrottleReasons) {
    return readClocksEventReasons(device, EmulatedNvmlFunction::nvmlDeviceGetCurrentClocksThrottleReasons,
                                  clocksThrottleReasons);
}

// Xid errors are the only events modelled.
Return nvmlDeviceGetSupportedEventTypes(nvml::Device device, unsigned long long* eventTypes) {
    return queryDevice(device, EmulatedNvmlFunction::nvmlDeviceGetSupportedEventTypes, eventTypes != nullptr,
                       [&](const EmulatedNvmlDevice&, long long) {
                           *eventTypes = nvml::kEventTypeXidCriticalError;
                           return nvml::kSuccess;
                       });
}

Return nvmlEventSetCreate(nvml::EventSet* set) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    if (set == nullptr) {
        return nvml::kErrorInvalidArgument;
    }
    state.sets.push_back(std::make_unique<nvml::EventSetRecord>());
    *set = state.sets.back().get();
    return nvml::kSuccess;
}

// Registers Xid events only; asking for any other type registers nothing. Unlike NVML, which records only the events
// after registration, the set also receives the device's Xid events whose time came before it, so that a scenario
// never races the program's start-up.
Return nvmlDeviceRegisterEvents(nvml::Device device, unsigned long long eventTypes, nvml::EventSet set) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    const int index = deviceIndex(state, device);
    if (index < 0 || !validSet(state, set) || eventTypes == 0) {
        return nvml::kErrorInvalidArgument;
    }
    if (deviceScenario(state, index).unsupported[static_cast<int>(EmulatedNvmlFunction::nvmlDeviceRegisterEvents)] ||
        (eventTypes & ~nvml::kEventTypeXidCriticalError) != 0) {
        return nvml::kErrorNotSupported;
    }
    auto& registrations = set->registrations;
    if (std::none_of(registrations.begin(), registrations.end(),
                     [index](const nvml::EventSetRecord::Registration& r) { return r.device == index; })) {
        registrations.push_back(nvml::EventSetRecord::Registration{index, 0});
    }
    return nvml::kSuccess;
}

// Delivers the earliest Xid event of the set's devices whose time has come, waiting for it up to timeoutms.
Return nvmlEventSetWait_v2(nvml::EventSet set, nvml::EventData* data, unsigned int timeoutms) {
    StandIn& state = standIn();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    if (!validSet(state, set) || data == nullptr) {
        return nvml::kErrorInvalidArgument;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutms);
    for (;;) {
        if (state.initCount == 0) {
            return nvml::kErrorUninitialized;
        }
        if (!validSet(state, set)) {
            return nvml::kErrorInvalidArgument;
        }
        nvml::EventSetRecord::Registration* next = nullptr;
        EmulatedNvmlStep nextXid{0, 0};
        for (auto& registration : set->registrations) {
            const std::vector<EmulatedNvmlStep>& xids = deviceScenario(state, registration.device).xids;
            if (registration.delivered < xids.size() &&
                (next == nullptr || xids[registration.delivered].atMs < nextXid.atMs)) {
                next = &registration;
                nextXid = xids[registration.delivered];
            }
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point due = state.start + std::chrono::milliseconds(nextXid.atMs);
        if (next != nullptr && due <= now) {
            *data = nvml::EventData{&state.records[next->device], nvml::kEventTypeXidCriticalError, nextXid.value,
                                    kNoInstance, kNoInstance};
            ++next->delivered;
            return nvml::kSuccess;
        }
        if (now >= deadline) {
            return nvml::kErrorTimeout;
        }
        state.changed.wait_until(lock, next != nullptr ? std::min(due, deadline) : deadline);
    }
}

Return nvmlEventSetFree(nvml::EventSet set) {
    StandIn& state = standIn();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initCount == 0) {
        return nvml::kErrorUninitialized;
    }
    const auto found =
        std::find_if(state.sets.begin(), state.sets.end(),
                     [set](const std::unique_ptr<nvml::EventSetRecord>& owned) { return owned.get() == set; });
    if (found == state.sets.end()) {
        return nvml::kErrorInvalidArgument;
    }
    state.sets.erase(found);
    state.changed.notify_all();
    return nvml::kSuccess;
}
