// NVML, the NVIDIA driver's management library, loaded at run time: never linked, never required, each function
// looked up by its versioned name and possibly missing.
//
// Program code calls openNvml(), which tries the candidates of the backend it was linked with (the driver's library,
// or the stand-in NVML beside the executable) and compiles the same for both.
#pragma once

#include <string>
#include <vector>

#include "gpu/nvml/nvmlApi.h"

// The variable naming the one NVML library to load instead of the backend's candidates (a path, or a bare file name
// searched for as the platform's loader searches); an empty value counts as unset.
constexpr char kNvmlLibraryVariable[] = "KAVREL_NVML_LIBRARY";

// The NVML functions a loaded library provides, one member per entry of KAVREL_NVML_FUNCTIONS; each is null where
// the library lacks it. deviceGetCurrentClocksEventReasons holds nvmlDeviceGetCurrentClocksThrottleReasons when
// only that older name is exported.
struct NvmlFunctions {
    nvml::InitFn init;
    nvml::ShutdownFn shutdown;
    nvml::ErrorStringFn errorString;
    nvml::SystemGetDriverVersionFn systemGetDriverVersion;
    nvml::DeviceGetHandleByUuidFn deviceGetHandleByUuid;
    nvml::DeviceGetUuidFn deviceGetUuid;
    nvml::DeviceGetNameFn deviceGetName;
    nvml::DeviceGetCurrPcieLinkGenerationFn deviceGetCurrPcieLinkGeneration;
    nvml::DeviceGetCurrPcieLinkWidthFn deviceGetCurrPcieLinkWidth;
    nvml::DeviceGetMaxPcieLinkGenerationFn deviceGetMaxPcieLinkGeneration;
    nvml::DeviceGetMaxPcieLinkWidthFn deviceGetMaxPcieLinkWidth;
    nvml::DeviceGetPcieReplayCounterFn deviceGetPcieReplayCounter;
    nvml::DeviceGetEccModeFn deviceGetEccMode;
    nvml::DeviceGetTotalEccErrorsFn deviceGetTotalEccErrors;
    nvml::DeviceGetRemappedRowsFn deviceGetRemappedRows;
    nvml::DeviceGetRetiredPagesPendingStatusFn deviceGetRetiredPagesPendingStatus;
    nvml::DeviceGetEnforcedPowerLimitFn deviceGetEnforcedPowerLimit;
    nvml::DeviceGetPowerUsageFn deviceGetPowerUsage;
    nvml::DeviceGetMaxClockInfoFn deviceGetMaxClockInfo;
    nvml::DeviceGetClockInfoFn deviceGetClockInfo;
    nvml::DeviceGetTemperatureFn deviceGetTemperature;
    nvml::DeviceGetCurrentClocksEventReasonsFn deviceGetCurrentClocksEventReasons;
    nvml::DeviceGetSupportedEventTypesFn deviceGetSupportedEventTypes;
    nvml::EventSetCreateFn eventSetCreate;
    nvml::DeviceRegisterEventsFn deviceRegisterEvents;
    nvml::EventSetWaitFn eventSetWait;
    nvml::EventSetFreeFn eventSetFree;
};

// One loaded NVML library, or the reason there is none. Moving it hands the library over; destroying it closes the
// library, so every successful init() must have had its shutdown() by then, and no function pointer taken from it
// may be called afterwards.
class NvmlLibrary {
public:
    NvmlLibrary() = default;
    NvmlLibrary(NvmlLibrary&& other) noexcept;
    NvmlLibrary& operator=(NvmlLibrary&& other) noexcept;
    NvmlLibrary(const NvmlLibrary&) = delete;
    NvmlLibrary& operator=(const NvmlLibrary&) = delete;
    ~NvmlLibrary();

    // Whether a library was opened that exports nvmlInit_v2 and nvmlShutdown.
    bool loaded() const {
        return library_ != nullptr;
    }
    // The candidate that was opened, as it was given; empty when none was.
    const std::string& path() const {
        return path_;
    }
    // Why nothing was loaded, "not loaded: " followed by each candidate's reason joined with "; ", for example
    // "not loaded: libnvidia-ml.so.1: cannot open shared object file: No such file or directory"; empty when loaded.
    const std::string& failure() const {
        return failure_;
    }
    // The functions found; all null when not loaded.
    const NvmlFunctions& functions() const {
        return functions_;
    }
    // The versioned names of the functions the library lacks, in KAVREL_NVML_FUNCTIONS' order.
    const std::vector<std::string>& missingFunctions() const {
        return missing_;
    }
    // The older names (KAVREL_NVML_FALLBACKS) that stand in for missing functions.
    const std::vector<std::string>& fallbacksUsed() const {
        return fallbacks_;
    }
    // The status as text: the library's own nvmlErrorString where it has one, otherwise "NVML status N".
    std::string statusText(nvml::Return status) const;

private:
    friend NvmlLibrary openNvmlLibrary(const std::vector<std::string>& paths);

    void* library_ = nullptr;
    std::string path_;
    std::string failure_;
    NvmlFunctions functions_{};
    std::vector<std::string> missing_;
    std::vector<std::string> fallbacks_;
};

// Tries the paths in order and keeps the first that opens and exports nvmlInit_v2 and nvmlShutdown, with every
// function of KAVREL_NVML_FUNCTIONS looked up in it; a library that opens without those two is closed and the next
// path is tried. With no path left, the result is not loaded and names every path's reason.
NvmlLibrary openNvmlLibrary(const std::vector<std::string>& paths);

// What openNvml tries: the value of KAVREL_NVML_LIBRARY alone when that is set and not empty, otherwise the
// candidates.
std::vector<std::string> nvmlLibrarySearchList(const std::vector<std::string>& candidates);

// Where this build's backend finds NVML, in the order to try: the NVIDIA driver's library
// (nvmlDriverLibraryPaths()) with the real CUDA runtime, the stand-in NVML library beside the running executable with
// the host stand-in. Defined once per backend, in the library its GPU target links.
std::vector<std::string> nvmlLibraryCandidates();

// openNvmlLibrary(nvmlLibrarySearchList(nvmlLibraryCandidates())): the NVML this program should use.
NvmlLibrary openNvml();
