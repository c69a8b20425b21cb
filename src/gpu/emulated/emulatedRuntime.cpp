// The host stand-in's CUDA runtime: device and page-locked memory with its registries and the epoch, and one device.
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <map>
#include <new>

#include "gpu/emulated/emulatedInternal.h"

std::uint64_t deviceEpoch = 0;

namespace {

// Live allocations of one kind by base address, with their sizes, and the alignment they all have.
struct Registry {
    std::size_t alignment;
    std::map<unsigned char*, std::size_t, std::less<>> blocks;
};

// The registries are never destroyed: memory the program leaves to process exit on a failure path stays reachable
// through them, as it would through a real driver, instead of showing up as a leak when they are torn down at exit.
// Device allocations have the alignment the runtime guarantees; page-locked ones get 64 bytes.
Registry& deviceMemory() {
    static auto* registry = new Registry{256, {}};
    return *registry;
}

Registry& hostMemory() {
    static auto* registry = new Registry{64, {}};
    return *registry;
}

// The pointer as an integer, so that offsets between pointers into different objects can be taken.
std::uintptr_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// cudaMalloc and cudaHostAlloc: memory filled with all-ones bytes (uninitialised device memory holds garbage; NaNs
// make reliance on it show), null for a zero size as the runtime gives; a failed call leaves *pointer as it was.
cudaError_t allocate(EmulatedOperation operation, Registry& registry, void** pointer, std::size_t size) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(operation).fails) {
        return cudaErrorMemoryAllocation;
    }
    if (pointer == nullptr) {
        return cudaErrorInvalidValue;
    }
    void* memory = nullptr;
    if (size != 0) {
        memory = ::operator new(size, std::align_val_t(registry.alignment), std::nothrow);
        if (memory == nullptr) {
            return cudaErrorMemoryAllocation;
        }
        std::memset(memory, 0xFF, size);
        registry.blocks[static_cast<unsigned char*>(memory)] = size;
        ++deviceEpoch;
    }
    *pointer = memory;
    return cudaSuccess;
}

// cudaFree and cudaFreeHost: releases what the matching allocation handed out; a null pointer does nothing.
cudaError_t release(EmulatedOperation operation, Registry& registry, void* base) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(operation).fails) {
        return cudaErrorUnknown;
    }
    if (base == nullptr) {
        return cudaSuccess;
    }
    const auto found = registry.blocks.find(static_cast<unsigned char*>(base));
    if (found == registry.blocks.end()) {
        return cudaErrorInvalidValue;
    }
    ::operator delete(base, std::align_val_t(registry.alignment));
    registry.blocks.erase(found);
    ++deviceEpoch;
    return cudaSuccess;
}

// The live device allocation with the highest base at or below the address, the only one that can hold a range
// starting there or overlap a range ending there, as allocations do not overlap; null when none.
const std::pair<unsigned char* const, std::size_t>* lastDeviceBlockFrom(const void* address) {
    const auto after = deviceMemory().blocks.upper_bound(static_cast<const unsigned char*>(address));
    return after == deviceMemory().blocks.begin() ? nullptr : &*std::prev(after);
}

}  // namespace

bool blockSpanBytes(int rows, int cols, int elemSize, int ld, std::size_t* bytes) {
    // (cols - 1) * ld + rows elements: below 2^62 for int arguments, so only the byte count can overflow.
    const std::uint64_t elements =
        static_cast<std::uint64_t>(cols - 1) * static_cast<std::uint64_t>(ld) + static_cast<std::uint64_t>(rows);
    if (elements > std::numeric_limits<std::size_t>::max() / static_cast<std::uint64_t>(elemSize)) {
        return false;
    }
    *bytes = static_cast<std::size_t>(elements * static_cast<std::uint64_t>(elemSize));
    return true;
}

bool insideDeviceMemory(const void* begin, std::size_t bytes) {
    const auto* holder = lastDeviceBlockFrom(begin);
    const std::uintptr_t offset = holder == nullptr ? 0 : addressOf(begin) - addressOf(holder->first);
    return holder != nullptr && offset < holder->second && bytes <= holder->second - offset;
}

bool overlapsDeviceMemory(const void* begin, std::size_t bytes) {
    const auto* candidate = lastDeviceBlockFrom(static_cast<const unsigned char*>(begin) + (bytes - 1));
    return candidate != nullptr && addressOf(candidate->first) + candidate->second > addressOf(begin);
}

// Device memory is host memory the stand-in owns.
cudaError_t cudaMalloc(void** devPtr, size_t size) {
    return allocate(EmulatedOperation::cudaMalloc, deviceMemory(), devPtr, size);
}

cudaError_t cudaFree(void* devPtr) {
    return release(EmulatedOperation::cudaFree, deviceMemory(), devPtr);
}

// Only the default flags are modelled; others are an invalid value, as a null pointer is.
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
    return allocate(EmulatedOperation::cudaHostAlloc, hostMemory(), flags == cudaHostAllocDefault ? pHost : nullptr,
                    size);
}

cudaError_t cudaFreeHost(void* ptr) {
    return release(EmulatedOperation::cudaFreeHost, hostMemory(), ptr);
}

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
    return device == 0 ? cudaSuccess : cudaErrorInvalidDevice;
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
    if (device != 0) {
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
    return takeCall(EmulatedOperation::cudaDeviceSynchronize).fails ? cudaErrorUnknown : cudaSuccess;
}

long emulatedLiveDeviceAllocations() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return static_cast<long>(deviceMemory().blocks.size());
}

long emulatedLiveHostAllocations() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return static_cast<long>(hostMemory().blocks.size());
}

std::uint64_t emulatedDeviceEpoch() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return deviceEpoch;
}

void emulatedReleaseEverything() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    for (Registry* registry : {&deviceMemory(), &hostMemory()}) {
        for (const auto& block : registry->blocks) {
            ::operator delete(block.first, std::align_val_t(registry->alignment));
        }
        registry->blocks.clear();
    }
    releaseContexts();
    ++deviceEpoch;
}
