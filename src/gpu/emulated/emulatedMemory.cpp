// The host stand-in's CUDA runtime memory operations: device and page-locked allocation and release.
#include "gpu/emulated/emulatedInternal.h"

// Device memory is host memory the stand-in owns. A zero size succeeds with a null pointer, as the runtime does.
cudaError_t cudaMalloc(void** devPtr, size_t size) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaMalloc).fails) {
        return cudaErrorMemoryAllocation;
    }
    if (devPtr == nullptr) {
        return cudaErrorInvalidValue;
    }
    if (size == 0) {
        *devPtr = nullptr;
        return cudaSuccess;
    }
    unsigned char* memory = createDeviceAllocation(size);
    if (memory == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    *devPtr = memory;
    return cudaSuccess;
}

// Releases memory cudaMalloc handed out; a null pointer is accepted and does nothing.
cudaError_t cudaFree(void* devPtr) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaFree).fails) {
        return cudaErrorUnknown;
    }
    if (devPtr == nullptr) {
        return cudaSuccess;
    }
    return destroyDeviceAllocation(devPtr) ? cudaSuccess : cudaErrorInvalidValue;
}

// Page-locked memory is 64-byte aligned host memory; only the default flags are modelled. A zero size succeeds
// with a null pointer.
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaHostAlloc).fails) {
        return cudaErrorMemoryAllocation;
    }
    if (pHost == nullptr || flags != cudaHostAllocDefault) {
        return cudaErrorInvalidValue;
    }
    if (size == 0) {
        *pHost = nullptr;
        return cudaSuccess;
    }
    unsigned char* memory = createHostAllocation(size);
    if (memory == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    *pHost = memory;
    return cudaSuccess;
}

// Releases memory cudaHostAlloc handed out; a null pointer is accepted and does nothing.
cudaError_t cudaFreeHost(void* ptr) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cudaFreeHost).fails) {
        return cudaErrorUnknown;
    }
    if (ptr == nullptr) {
        return cudaSuccess;
    }
    return destroyHostAllocation(ptr) ? cudaSuccess : cudaErrorInvalidValue;
}
