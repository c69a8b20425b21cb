// The runtime calls that pick the device and read its properties, each tested where it is made.
#include "gpu/deviceInfo.h"

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
    return stageSucceeded();
}
