// The host stand-in's CUDA runtime device operations: one device, index 0, with fixed properties.
#include <cstring>

#include "gpu/emulated/emulatedInternal.h"

namespace {

bool deviceExists(int device) {
    return device >= 0 && device < kEmulatedDeviceCount;
}

}  // namespace

cudaError_t cudaGetDeviceCount(int* count) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaGetDeviceCount).fails) {
        return cudaErrorUnknown;
    }
    if (count == nullptr) {
        return cudaErrorInvalidValue;
    }
    *count = kEmulatedDeviceCount;
    return cudaSuccess;
}

// Only device 0 exists; selecting it changes nothing, as the stand-in has one set of registries.
cudaError_t cudaSetDevice(int device) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaSetDevice).fails) {
        return cudaErrorUnknown;
    }
    return deviceExists(device) ? cudaSuccess : cudaErrorInvalidDevice;
}

// Fills the fields the stand-in's cudaDeviceProp has; a failed call leaves *prop as it was.
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaGetDeviceProperties).fails) {
        return cudaErrorUnknown;
    }
    if (prop == nullptr) {
        return cudaErrorInvalidValue;
    }
    if (!deviceExists(device)) {
        return cudaErrorInvalidDevice;
    }
    *prop = cudaDeviceProp{};
    static_assert(sizeof kEmulatedDeviceName <= sizeof prop->name, "the device name fits its field");
    std::memcpy(prop->name, kEmulatedDeviceName, sizeof kEmulatedDeviceName);
    prop->major = kEmulatedComputeMajor;
    prop->minor = kEmulatedComputeMinor;
    return cudaSuccess;
}

// Every operation of the stand-in completes before it returns, so there is never anything to wait for.
cudaError_t cudaDeviceSynchronize(void) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaDeviceSynchronize).fails) {
        return cudaErrorUnknown;
    }
    return cudaSuccess;
}
