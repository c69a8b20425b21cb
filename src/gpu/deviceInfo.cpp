// The runtime calls that pick the device and read its properties, each tested where it is made.
#include "gpu/deviceInfo.h"

#include <cstdio>
#include <cstring>

#include "gpu/gpuLibrary.h"

namespace {

constexpr const char* kQueryError = "!!!! device query error\n";

}  // namespace

StageResult countDevices(int* count) {
    if (!librarySucceeded(cudaGetDeviceCount(count))) {
        return stageFailed(kQueryError);
    }
    return stageSucceeded();
}

StageResult readDeviceMemory(std::size_t* freeBytes, std::size_t* totalBytes) {
    if (!librarySucceeded(cudaMemGetInfo(freeBytes, totalBytes))) {
        return stageFailed(kQueryError);
    }
    return stageSucceeded();
}

StageResult selectDevice(int device) {
    int count = 0;
    if (!librarySucceeded(cudaGetDeviceCount(&count))) {
        return stageFailed(kQueryError);
    }
    if (device < 0 || device >= count) {
        return stageFailed("!!!! device selection error (no such device)\n");
    }
    if (!librarySucceeded(cudaSetDevice(device))) {
        return stageFailed("!!!! device selection error\n");
    }
    return stageSucceeded();
}

StageResult describeDevice(int device, DeviceDescription* description) {
    cudaDeviceProp properties{};
    if (!librarySucceeded(cudaGetDeviceProperties(&properties, device))) {
        return stageFailed(kQueryError);
    }
    static_assert(sizeof properties.name == sizeof description->name, "device names have one size");
    std::memcpy(description->name, properties.name, sizeof description->name);
    description->name[kDeviceNameBytes - 1] = '\0';
    description->major = properties.major;
    description->minor = properties.minor;
    const auto* bytes = reinterpret_cast<const unsigned char*>(properties.uuid.bytes);
    std::snprintf(description->uuid, sizeof description->uuid,
                  "GPU-%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11],
                  bytes[12], bytes[13], bytes[14], bytes[15]);
    if (!librarySucceeded(cudaDeviceGetPCIBusId(description->pciBusId, kPciBusIdBytes, device))) {
        return stageFailed(kQueryError);
    }
    return stageSucceeded();
}
