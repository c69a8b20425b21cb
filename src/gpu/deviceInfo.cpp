// The runtime calls that pick the device and read its properties, each tested where it is made.
#include "gpu/deviceInfo.h"

#include <cstdio>
#include <cstring>

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"

namespace {

constexpr const char* kQueryError = "!!!! device query error\n";

}  // namespace

StageResult countDevices(int* count) {
    const cudaError_t status = watchedCall("cudaGetDeviceCount", [&] { return cudaGetDeviceCount(count); });
    if (!librarySucceeded(status)) {
        return callFailed(kQueryError, "cudaGetDeviceCount", status);
    }
    return stageSucceeded();
}

StageResult readDeviceMemory(std::size_t* freeBytes, std::size_t* totalBytes) {
    const cudaError_t status = watchedCall("cudaMemGetInfo", [&] { return cudaMemGetInfo(freeBytes, totalBytes); });
    if (!librarySucceeded(status)) {
        return callFailed(kQueryError, "cudaMemGetInfo", status);
    }
    return stageSucceeded();
}

StageResult selectDevice(int device) {
    int count = 0;
    const StageResult counted = countDevices(&count);
    if (!counted.succeeded) {
        return counted;
    }
    if (device < 0 || device >= count) {
        return stageFailed("!!!! device selection error (no such device)\n");
    }
    const cudaError_t status = watchedCall("cudaSetDevice", [&] { return cudaSetDevice(device); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device selection error\n", "cudaSetDevice", status);
    }
    return stageSucceeded();
}

StageResult describeDevice(int device, DeviceDescription* description) {
    cudaDeviceProp properties{};
    cudaError_t status =
        watchedCall("cudaGetDeviceProperties", [&] { return cudaGetDeviceProperties(&properties, device); });
    if (!librarySucceeded(status)) {
        return callFailed(kQueryError, "cudaGetDeviceProperties", status);
    }
    static_assert(sizeof properties.name == sizeof description->name, "device names have one size");
    std::memcpy(description->name, properties.name, sizeof description->name);
    description->name[kDeviceNameBytes - 1] = '\0';
    description->major = properties.major;
    description->minor = properties.minor;
    description->multiprocessors = properties.multiProcessorCount;
    const auto* bytes = reinterpret_cast<const unsigned char*>(properties.uuid.bytes);
    std::snprintf(description->uuid, sizeof description->uuid,
                  "GPU-%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11],
                  bytes[12], bytes[13], bytes[14], bytes[15]);
    status = watchedCall("cudaDeviceGetPCIBusId",
                         [&] { return cudaDeviceGetPCIBusId(description->pciBusId, kPciBusIdBytes, device); });
    if (!librarySucceeded(status)) {
        return callFailed(kQueryError, "cudaDeviceGetPCIBusId", status);
    }
    return stageSucceeded();
}
