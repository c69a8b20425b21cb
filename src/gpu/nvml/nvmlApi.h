// The NVML types, constants and function types this program uses, declared in namespace nvml with names of our own,
// with exactly the layout and values of NVIDIA's nvml.h, so that one file can include both.
//
// NVML is never linked: its functions are looked up at run time (gpu/nvml/nvmlLibrary.h) through the pointer types
// below, by the versioned symbol names in KAVREL_NVML_FUNCTIONS. tests/nvmlApiCheck.cpp proves every declaration here
// against NVIDIA's header (scripts/ci/nvml-header-check.sh compiles it).
#pragma once

namespace nvml {

// nvmlReturn_t: the status every NVML function returns, 0 on success. The enumerators span NVIDIA's range (0 to
// 999), so the compiler gives this enum the same underlying type as NVIDIA's.
enum Return {
    kSuccess = 0,
    kErrorUninitialized = 1,     // nvmlInit_v2 has not succeeded (or nvmlShutdown undid it)
    kErrorInvalidArgument = 2,   // a null pointer, an unknown handle or a value outside the enumeration
    kErrorNotSupported = 3,      // the device or the driver does not offer this
    kErrorNoPermission = 4,      // the caller may not ask this
    kErrorNotFound = 6,          // no device has that UUID
    kErrorInsufficientSize = 7,  // the buffer given is too short
    kErrorDriverNotLoaded = 9,   // no NVIDIA kernel driver is running
    kErrorTimeout = 10,          // nvmlEventSetWait_v2: no event came within the time given
    kErrorGpuIsLost = 15,        // the device fell off the bus or is otherwise inaccessible
    kErrorUnknown = 999,
};

// nvmlDevice_t and nvmlEventSet_t: opaque handles. The records are never defined outside the stand-in NVML.
struct DeviceRecord;
using Device = DeviceRecord*;
struct EventSetRecord;
using EventSet = EventSetRecord*;

// nvmlEnableState_t.
enum EnableState {
    kFeatureDisabled = 0,
    kFeatureEnabled = 1,
};

// nvmlMemoryErrorType_t: corrected (single-bit ECC) or uncorrected (double-bit ECC) memory errors.
enum MemoryErrorType {
    kMemoryErrorCorrected = 0,
    kMemoryErrorUncorrected = 1,
};

// nvmlEccCounterType_t: counts since the driver loaded (volatile) or over the device's life (aggregate).
enum EccCounterType {
    kVolatileEcc = 0,
    kAggregateEcc = 1,
};

// nvmlClockType_t.
enum ClockType {
    kClockGraphics = 0,
    kClockSm = 1,
    kClockMem = 2,
    kClockVideo = 3,
};

// nvmlTemperatureSensors_t.
enum TemperatureSensor {
    kTemperatureGpu = 0,
    kTemperatureGpuMax = 1,  // the hottest point of the die
};

// nvmlEventData_t: one event nvmlEventSetWait_v2 delivers.
struct EventData {
    Device device;                   // the device the event happened on
    unsigned long long eventType;    // one kEventType bit
    unsigned long long eventData;    // the Xid for kEventTypeXidCriticalError, 0 for other events
    unsigned int gpuInstanceId;      // 0xFFFFFFFF unless MIG attributes it to a GPU instance
    unsigned int computeInstanceId;  // 0xFFFFFFFF unless MIG attributes it to a compute instance
};

// nvmlEventTypeXidCriticalError: the event bit of an Xid, the driver's report of a GPU error.
constexpr unsigned long long kEventTypeXidCriticalError = 0x0000000000000008ULL;

// The clocks-event reason bits (nvmlClocksEventReason*, formerly nvmlClocksThrottleReason*): why the clocks are
// below their maximum. Several may be set at once.
constexpr unsigned long long kClocksEventReasonGpuIdle = 0x0000000000000001ULL;
constexpr unsigned long long kClocksEventReasonApplicationsClocksSetting = 0x0000000000000002ULL;
constexpr unsigned long long kClocksEventReasonSwPowerCap = 0x0000000000000004ULL;
constexpr unsigned long long kClocksEventReasonHwSlowdown = 0x0000000000000008ULL;
constexpr unsigned long long kClocksEventReasonSyncBoost = 0x0000000000000010ULL;
constexpr unsigned long long kClocksEventReasonSwThermalSlowdown = 0x0000000000000020ULL;
constexpr unsigned long long kClocksEventReasonHwThermalSlowdown = 0x0000000000000040ULL;
constexpr unsigned long long kClocksEventReasonHwPowerBrakeSlowdown = 0x0000000000000080ULL;

// Buffer sizes, the terminating null included, that NVML guarantees to be enough.
constexpr unsigned int kDeviceUuidBufferSize = 80;  // nvmlDeviceGetUUID's text "GPU-xxxxxxxx-..."
constexpr unsigned int kDeviceUuidV2BufferSize = 96;
constexpr unsigned int kDeviceNameBufferSize = 64;  // nvmlDeviceGetName
constexpr unsigned int kDeviceNameV2BufferSize = 96;
constexpr unsigned int kSystemDriverVersionBufferSize = 80;  // nvmlSystemGetDriverVersion

// The functions, as pointers to what each versioned symbol is. Every one but nvmlErrorString needs a successful
// nvmlInit_v2 first; a device function takes a handle from nvmlDeviceGetHandleByUUID. Power is in milliwatts,
// clocks in MHz, temperatures in degrees Celsius.
using InitFn = Return (*)();                           // nvmlInit_v2: counted, so each success needs its nvmlShutdown
using ShutdownFn = Return (*)();                       // nvmlShutdown
using ErrorStringFn = const char* (*)(Return result);  // nvmlErrorString: static text, never null
using SystemGetDriverVersionFn = Return (*)(char* version, unsigned int length);
using DeviceGetHandleByUuidFn = Return (*)(const char* uuid, Device* device);  // kErrorNotFound for no such UUID
using DeviceGetUuidFn = Return (*)(Device device, char* uuid, unsigned int length);
using DeviceGetNameFn = Return (*)(Device device, char* name, unsigned int length);
using DeviceGetCurrPcieLinkGenerationFn = Return (*)(Device device, unsigned int* currLinkGen);
using DeviceGetCurrPcieLinkWidthFn = Return (*)(Device device, unsigned int* currLinkWidth);
using DeviceGetMaxPcieLinkGenerationFn = Return (*)(Device device, unsigned int* maxLinkGen);
using DeviceGetMaxPcieLinkWidthFn = Return (*)(Device device, unsigned int* maxLinkWidth);
using DeviceGetPcieReplayCounterFn = Return (*)(Device device, unsigned int* value);
using DeviceGetEccModeFn = Return (*)(Device device, EnableState* current, EnableState* pending);
using DeviceGetTotalEccErrorsFn = Return (*)(Device device, MemoryErrorType errorType, EccCounterType counterType,
                                             unsigned long long* eccCounts);
using DeviceGetRemappedRowsFn = Return (*)(Device device, unsigned int* corrRows, unsigned int* uncRows,
                                           unsigned int* isPending, unsigned int* failureOccurred);
using DeviceGetRetiredPagesPendingStatusFn = Return (*)(Device device, EnableState* isPending);
// The limit the driver enforces now (the smallest of every limit set on the board), not merely the one set
// through nvmlDeviceSetPowerManagementLimit: the draw is held below this one.
using DeviceGetEnforcedPowerLimitFn = Return (*)(Device device, unsigned int* limit);
using DeviceGetPowerUsageFn = Return (*)(Device device, unsigned int* power);
using DeviceGetMaxClockInfoFn = Return (*)(Device device, ClockType type, unsigned int* clock);
using DeviceGetClockInfoFn = Return (*)(Device device, ClockType type, unsigned int* clock);
using DeviceGetTemperatureFn = Return (*)(Device device, TemperatureSensor sensorType, unsigned int* temp);
using DeviceGetCurrentClocksEventReasonsFn = Return (*)(Device device, unsigned long long* clocksEventReasons);
using DeviceGetSupportedEventTypesFn = Return (*)(Device device, unsigned long long* eventTypes);
using EventSetCreateFn = Return (*)(EventSet* set);
using DeviceRegisterEventsFn = Return (*)(Device device, unsigned long long eventTypes, EventSet set);
using EventSetWaitFn = Return (*)(EventSet set, EventData* data, unsigned int timeoutms);  // kErrorTimeout: none
using EventSetFreeFn = Return (*)(EventSet set);

}  // namespace nvml

// Every NVML function this program calls, as X(member, symbol, type): the member of NvmlFunctions that holds it, the
// versioned symbol it is looked up by (never an unversioned name that nvml.h turns into a macro) and its pointer
// type in namespace nvml.
// clang-format off
#define KAVREL_NVML_FUNCTIONS(X)                                                                                \
    X(init, nvmlInit_v2, InitFn)                                                                                \
    X(shutdown, nvmlShutdown, ShutdownFn)                                                                       \
    X(errorString, nvmlErrorString, ErrorStringFn)                                                              \
    X(systemGetDriverVersion, nvmlSystemGetDriverVersion, SystemGetDriverVersionFn)                             \
    X(deviceGetHandleByUuid, nvmlDeviceGetHandleByUUID, DeviceGetHandleByUuidFn)                                \
    X(deviceGetUuid, nvmlDeviceGetUUID, DeviceGetUuidFn)                                                        \
    X(deviceGetName, nvmlDeviceGetName, DeviceGetNameFn)                                                        \
    X(deviceGetCurrPcieLinkGeneration, nvmlDeviceGetCurrPcieLinkGeneration, DeviceGetCurrPcieLinkGenerationFn)  \
    X(deviceGetCurrPcieLinkWidth, nvmlDeviceGetCurrPcieLinkWidth, DeviceGetCurrPcieLinkWidthFn)                 \
    X(deviceGetMaxPcieLinkGeneration, nvmlDeviceGetMaxPcieLinkGeneration, DeviceGetMaxPcieLinkGenerationFn)     \
    X(deviceGetMaxPcieLinkWidth, nvmlDeviceGetMaxPcieLinkWidth, DeviceGetMaxPcieLinkWidthFn)                    \
    X(deviceGetPcieReplayCounter, nvmlDeviceGetPcieReplayCounter, DeviceGetPcieReplayCounterFn)                 \
    X(deviceGetEccMode, nvmlDeviceGetEccMode, DeviceGetEccModeFn)                                               \
    X(deviceGetTotalEccErrors, nvmlDeviceGetTotalEccErrors, DeviceGetTotalEccErrorsFn)                          \
    X(deviceGetRemappedRows, nvmlDeviceGetRemappedRows, DeviceGetRemappedRowsFn)                                \
    X(deviceGetRetiredPagesPendingStatus, nvmlDeviceGetRetiredPagesPendingStatus,                               \
      DeviceGetRetiredPagesPendingStatusFn)                                                                     \
    X(deviceGetEnforcedPowerLimit, nvmlDeviceGetEnforcedPowerLimit, DeviceGetEnforcedPowerLimitFn)              \
    X(deviceGetPowerUsage, nvmlDeviceGetPowerUsage, DeviceGetPowerUsageFn)                                      \
    X(deviceGetMaxClockInfo, nvmlDeviceGetMaxClockInfo, DeviceGetMaxClockInfoFn)                                \
    X(deviceGetClockInfo, nvmlDeviceGetClockInfo, DeviceGetClockInfoFn)                                         \
    X(deviceGetTemperature, nvmlDeviceGetTemperature, DeviceGetTemperatureFn)                                   \
    X(deviceGetCurrentClocksEventReasons, nvmlDeviceGetCurrentClocksEventReasons,                               \
      DeviceGetCurrentClocksEventReasonsFn)                                                                     \
    X(deviceGetSupportedEventTypes, nvmlDeviceGetSupportedEventTypes, DeviceGetSupportedEventTypesFn)           \
    X(eventSetCreate, nvmlEventSetCreate, EventSetCreateFn)                                                     \
    X(deviceRegisterEvents, nvmlDeviceRegisterEvents, DeviceRegisterEventsFn)                                   \
    X(eventSetWait, nvmlEventSetWait_v2, EventSetWaitFn)                                                        \
    X(eventSetFree, nvmlEventSetFree, EventSetFreeFn)

// The older symbols an earlier driver exports instead, with the same signature, as X(member, symbol, type): looked
// up for the member when its own symbol is missing.
#define KAVREL_NVML_FALLBACKS(X)                                                                                \
    X(deviceGetCurrentClocksEventReasons, nvmlDeviceGetCurrentClocksThrottleReasons,                            \
      DeviceGetCurrentClocksEventReasonsFn)
// clang-format on
