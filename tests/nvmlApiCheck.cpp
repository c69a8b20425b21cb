// Compile-time proof that gpu/nvml/nvmlApi.h declares NVML exactly as NVIDIA's nvml.h does: every function's
// signature, every constant's value and every struct's size and field offsets.
//
// Not part of the build: scripts/ci/nvml-header-check.sh fetches NVIDIA's header and compiles this file against it.
// It compiles only when everything matches; a mismatch is a static_assert naming what differs.
#include <nvml.h>

#include <cstddef>
#include <type_traits>

#include "gpu/nvml/nvmlApi.h"

// NVIDIA marks some of the functions used as deprecated (nvmlDeviceGetTemperature, and the throttle-reasons name an
// older driver exports instead of the clocks-event one); naming them is what this file is for.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(disable : 4996)
#endif

namespace {

// Our type rewritten into NVIDIA's: each of our types replaced by the one it stands for, through pointers, const
// and function types; anything else (int, char, unsigned long long) is left as it is.
template <typename T>
struct NvidiaType {
    using type = T;
};
template <typename T>
using NvidiaTypeOf = typename NvidiaType<T>::type;

template <typename T>
struct NvidiaType<T*> {
    using type = NvidiaTypeOf<T>*;
};
template <typename T>
struct NvidiaType<const T> {
    using type = const NvidiaTypeOf<T>;
};
template <typename Result, typename... Parameters>
struct NvidiaType<Result(Parameters...)> {
    using type = NvidiaTypeOf<Result>(NvidiaTypeOf<Parameters>...);
};

#define KAVREL_NVIDIA_TYPE(ours, theirs) \
    template <>                          \
    struct NvidiaType<ours> {            \
        using type = theirs;             \
    };
KAVREL_NVIDIA_TYPE(nvml::Return, nvmlReturn_t)
KAVREL_NVIDIA_TYPE(nvml::DeviceRecord, struct nvmlDevice_st)
KAVREL_NVIDIA_TYPE(nvml::EventSetRecord, struct nvmlEventSet_st)
KAVREL_NVIDIA_TYPE(nvml::EnableState, nvmlEnableState_t)
KAVREL_NVIDIA_TYPE(nvml::MemoryErrorType, nvmlMemoryErrorType_t)
KAVREL_NVIDIA_TYPE(nvml::EccCounterType, nvmlEccCounterType_t)
KAVREL_NVIDIA_TYPE(nvml::ClockType, nvmlClockType_t)
KAVREL_NVIDIA_TYPE(nvml::TemperatureSensor, nvmlTemperatureSensors_t)
KAVREL_NVIDIA_TYPE(nvml::EventData, nvmlEventData_t)
#undef KAVREL_NVIDIA_TYPE

// The handles are NVIDIA's pointer types once rewritten.
static_assert(std::is_same<NvidiaTypeOf<nvml::Device>, nvmlDevice_t>::value, "nvml::Device is not nvmlDevice_t");
static_assert(std::is_same<NvidiaTypeOf<nvml::EventSet>, nvmlEventSet_t>::value,
              "nvml::EventSet is not nvmlEventSet_t");

// An enum of ours has the size and underlying type of NVIDIA's, so that it passes and lies in memory the same.
template <typename Ours>
constexpr bool sameEnumRepresentation() {
    using Theirs = NvidiaTypeOf<Ours>;
    return sizeof(Ours) == sizeof(Theirs) && alignof(Ours) == alignof(Theirs) &&
           std::is_same<std::underlying_type_t<Ours>, std::underlying_type_t<Theirs>>::value;
}
static_assert(sameEnumRepresentation<nvml::Return>(), "nvml::Return is not laid out as nvmlReturn_t");
static_assert(sameEnumRepresentation<nvml::EnableState>(), "nvml::EnableState is not laid out as nvmlEnableState_t");
static_assert(sameEnumRepresentation<nvml::MemoryErrorType>(),
              "nvml::MemoryErrorType is not laid out as nvmlMemoryErrorType_t");
static_assert(sameEnumRepresentation<nvml::EccCounterType>(),
              "nvml::EccCounterType is not laid out as nvmlEccCounterType_t");
static_assert(sameEnumRepresentation<nvml::ClockType>(), "nvml::ClockType is not laid out as nvmlClockType_t");
static_assert(sameEnumRepresentation<nvml::TemperatureSensor>(),
              "nvml::TemperatureSensor is not laid out as nvmlTemperatureSensors_t");

// Two C strings are equal, at compile time.
constexpr bool sameText(const char* a, const char* b) {
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}

// Each function: the pointer type of ours, rewritten, is a pointer to NVIDIA's declaration of the symbol, and the
// symbol is spelt as nvml.h spells it after its macros (nvmlInit is a macro for nvmlInit_v2, so a list naming
// nvmlInit would look up the old entry point while its type matched the new one).
#define KAVREL_STRINGIFY(text) #text
#define KAVREL_EXPANDED_NAME(symbol) KAVREL_STRINGIFY(symbol)
#define KAVREL_CHECK_FUNCTION(member, symbol, type)                                                         \
    static_assert(std::is_same<NvidiaTypeOf<std::remove_pointer_t<nvml::type>>, decltype(::symbol)>::value, \
                  "nvml::" #type " does not have the signature of NVIDIA's " #symbol);                      \
    static_assert(sameText(#symbol, KAVREL_EXPANDED_NAME(symbol)),                                          \
                  #symbol " is a macro in nvml.h: look up the versioned name it stands for");
KAVREL_NVML_FUNCTIONS(KAVREL_CHECK_FUNCTION)
KAVREL_NVML_FALLBACKS(KAVREL_CHECK_FUNCTION)
#undef KAVREL_CHECK_FUNCTION

// Each constant has NVIDIA's value.
#define KAVREL_CHECK_VALUE(ours, theirs) \
    static_assert(static_cast<long long>(nvml::ours) == static_cast<long long>(theirs), #ours " is not " #theirs);
KAVREL_CHECK_VALUE(kSuccess, NVML_SUCCESS)
KAVREL_CHECK_VALUE(kErrorUninitialized, NVML_ERROR_UNINITIALIZED)
KAVREL_CHECK_VALUE(kErrorInvalidArgument, NVML_ERROR_INVALID_ARGUMENT)
KAVREL_CHECK_VALUE(kErrorNotSupported, NVML_ERROR_NOT_SUPPORTED)
KAVREL_CHECK_VALUE(kErrorNoPermission, NVML_ERROR_NO_PERMISSION)
KAVREL_CHECK_VALUE(kErrorNotFound, NVML_ERROR_NOT_FOUND)
KAVREL_CHECK_VALUE(kErrorInsufficientSize, NVML_ERROR_INSUFFICIENT_SIZE)
KAVREL_CHECK_VALUE(kErrorDriverNotLoaded, NVML_ERROR_DRIVER_NOT_LOADED)
KAVREL_CHECK_VALUE(kErrorTimeout, NVML_ERROR_TIMEOUT)
KAVREL_CHECK_VALUE(kErrorGpuIsLost, NVML_ERROR_GPU_IS_LOST)
KAVREL_CHECK_VALUE(kErrorUnknown, NVML_ERROR_UNKNOWN)
KAVREL_CHECK_VALUE(kFeatureDisabled, NVML_FEATURE_DISABLED)
KAVREL_CHECK_VALUE(kFeatureEnabled, NVML_FEATURE_ENABLED)
KAVREL_CHECK_VALUE(kMemoryErrorCorrected, NVML_MEMORY_ERROR_TYPE_CORRECTED)
KAVREL_CHECK_VALUE(kMemoryErrorUncorrected, NVML_MEMORY_ERROR_TYPE_UNCORRECTED)
KAVREL_CHECK_VALUE(kVolatileEcc, NVML_VOLATILE_ECC)
KAVREL_CHECK_VALUE(kAggregateEcc, NVML_AGGREGATE_ECC)
KAVREL_CHECK_VALUE(kClockGraphics, NVML_CLOCK_GRAPHICS)
KAVREL_CHECK_VALUE(kClockSm, NVML_CLOCK_SM)
KAVREL_CHECK_VALUE(kClockMem, NVML_CLOCK_MEM)
KAVREL_CHECK_VALUE(kClockVideo, NVML_CLOCK_VIDEO)
KAVREL_CHECK_VALUE(kTemperatureGpu, NVML_TEMPERATURE_GPU)
KAVREL_CHECK_VALUE(kTemperatureGpuMax, NVML_TEMPERATURE_GPU_MAX)
KAVREL_CHECK_VALUE(kEventTypeXidCriticalError, nvmlEventTypeXidCriticalError)
KAVREL_CHECK_VALUE(kClocksEventReasonGpuIdle, nvmlClocksEventReasonGpuIdle)
KAVREL_CHECK_VALUE(kClocksEventReasonApplicationsClocksSetting, nvmlClocksEventReasonApplicationsClocksSetting)
KAVREL_CHECK_VALUE(kClocksEventReasonSwPowerCap, nvmlClocksEventReasonSwPowerCap)
KAVREL_CHECK_VALUE(kClocksEventReasonHwSlowdown, nvmlClocksThrottleReasonHwSlowdown)
KAVREL_CHECK_VALUE(kClocksEventReasonSyncBoost, nvmlClocksEventReasonSyncBoost)
KAVREL_CHECK_VALUE(kClocksEventReasonSwThermalSlowdown, nvmlClocksEventReasonSwThermalSlowdown)
KAVREL_CHECK_VALUE(kClocksEventReasonHwThermalSlowdown, nvmlClocksThrottleReasonHwThermalSlowdown)
KAVREL_CHECK_VALUE(kClocksEventReasonHwPowerBrakeSlowdown, nvmlClocksThrottleReasonHwPowerBrakeSlowdown)
KAVREL_CHECK_VALUE(kDeviceUuidBufferSize, NVML_DEVICE_UUID_BUFFER_SIZE)
KAVREL_CHECK_VALUE(kDeviceUuidV2BufferSize, NVML_DEVICE_UUID_V2_BUFFER_SIZE)
KAVREL_CHECK_VALUE(kDeviceNameBufferSize, NVML_DEVICE_NAME_BUFFER_SIZE)
KAVREL_CHECK_VALUE(kDeviceNameV2BufferSize, NVML_DEVICE_NAME_V2_BUFFER_SIZE)
KAVREL_CHECK_VALUE(kSystemDriverVersionBufferSize, NVML_SYSTEM_DRIVER_VERSION_BUFFER_SIZE)
#undef KAVREL_CHECK_VALUE

// nvmlEventData_t: the same size and alignment, and each field of the same type at the same offset.
static_assert(sizeof(nvml::EventData) == sizeof(nvmlEventData_t), "nvml::EventData has another size");
static_assert(alignof(nvml::EventData) == alignof(nvmlEventData_t), "nvml::EventData has another alignment");
#define KAVREL_CHECK_FIELD(field)                                                                              \
    static_assert(offsetof(nvml::EventData, field) == offsetof(nvmlEventData_t, field),                        \
                  "nvml::EventData::" #field " lies elsewhere");                                               \
    static_assert(                                                                                             \
        std::is_same<NvidiaTypeOf<decltype(nvml::EventData::field)>, decltype(nvmlEventData_t::field)>::value, \
        "nvml::EventData::" #field " has another type");
KAVREL_CHECK_FIELD(device)
KAVREL_CHECK_FIELD(eventType)
KAVREL_CHECK_FIELD(eventData)
KAVREL_CHECK_FIELD(gpuInstanceId)
KAVREL_CHECK_FIELD(computeInstanceId)
#undef KAVREL_CHECK_FIELD

}  // namespace
