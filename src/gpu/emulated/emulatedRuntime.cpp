// The host stand-in's CUDA runtime memory: device and page-locked allocations with their registries, each device's
// share of memory, and the epochs allocations move.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <new>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// Device allocations have the alignment the runtime guarantees; page-locked ones get 64 bytes.
constexpr std::size_t kDeviceAlignment = 256;
constexpr std::size_t kHostAlignment = 64;

// Every device's memory, as cudaMemGetInfo reports it.
std::atomic<std::size_t> deviceMemoryBytes{kEmulatedDeviceMemoryBytes};

// What the device's live allocations leave of its memory. Needs the device's lock.
std::size_t freeBytes(const DeviceState& state) {
    const std::size_t total = deviceMemoryBytes.load();
    return state.allocatedBytes < total ? total - state.allocatedBytes : 0;
}

// One live device allocation: its size, the device that was current when it was made, and its epoch.
struct DeviceBlock {
    std::size_t size;
    int device;
    std::uint64_t epoch;
};

// Allocation epochs come from one count for the whole process, so that no two allocations, nor one allocation before
// and after a change, ever share one.
std::atomic<std::uint64_t> lastAllocationEpoch{0};

std::uint64_t nextAllocationEpoch() {
    return ++lastAllocationEpoch;
}

// Live allocations by base address; guarded by the registry lock. Never destroyed: memory the program leaves to
// process exit on a failure path stays reachable through them, as it would through a real driver, instead of
// showing up as a leak when they are torn down at exit.
std::map<unsigned char*, DeviceBlock, std::less<>>& deviceBlocks() {
    static auto* blocks = new std::map<unsigned char*, DeviceBlock, std::less<>>;
    return *blocks;
}

std::map<unsigned char*, std::size_t, std::less<>>& hostBlocks() {
    static auto* blocks = new std::map<unsigned char*, std::size_t, std::less<>>;
    return *blocks;
}

// The pointer as an integer, so that offsets between pointers into different objects can be taken.
std::uintptr_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// Memory filled with all-ones bytes (uninitialised device memory holds garbage; NaNs make reliance on it show), or
// null when there is none.
void* newMemory(std::size_t size, std::size_t alignment) {
    void* memory = ::operator new(size, std::align_val_t(alignment), std::nothrow);
    if (memory != nullptr) {
        std::memset(memory, 0xFF, size);
    }
    return memory;
}

// The live device allocation with the highest base at or below the address, the only one that can hold a range
// starting there, as allocations do not overlap; deviceBlocks().end() when none. Needs the registry lock.
std::map<unsigned char*, DeviceBlock, std::less<>>::iterator lastDeviceBlockFrom(const void* address) {
    auto after = deviceBlocks().upper_bound(static_cast<const unsigned char*>(address));
    return after == deviceBlocks().begin() ? deviceBlocks().end() : std::prev(after);
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

bool insideDeviceMemory(int device, const void* begin, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(registryMutex());
    const auto holder = lastDeviceBlockFrom(begin);
    if (holder == deviceBlocks().end() || holder->second.device != device) {
        return false;
    }
    const std::uintptr_t offset = addressOf(begin) - addressOf(holder->first);
    return offset < holder->second.size && bytes <= holder->second.size - offset;
}

namespace {

// Calls visit(block) for every live allocation holding any byte of [begin, begin + bytes), bytes > 0. Needs the
// registry lock.
template <typename Visit>
void forEachOverlappingBlock(const void* begin, std::size_t bytes, Visit visit) {
    // Walks down from the last allocation starting inside the range; the first one starting below the range is the
    // last that can reach into it.
    auto block = lastDeviceBlockFrom(static_cast<const unsigned char*>(begin) + (bytes - 1));
    while (block != deviceBlocks().end() && addressOf(block->first) + block->second.size > addressOf(begin)) {
        visit(block->second);
        if (addressOf(block->first) <= addressOf(begin) || block == deviceBlocks().begin()) {
            break;
        }
        --block;
    }
}

}  // namespace

void markDeviceBytesChanged(const void* begin, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(registryMutex());
    forEachOverlappingBlock(begin, bytes, [](DeviceBlock& block) { block.epoch = nextAllocationEpoch(); });
}

std::uint64_t allocationEpoch(const void* address) {
    std::lock_guard<std::mutex> lock(registryMutex());
    const auto holder = lastDeviceBlockFrom(address);
    if (holder == deviceBlocks().end() || addressOf(address) - addressOf(holder->first) >= holder->second.size) {
        return 0;
    }
    return holder->second.epoch;
}

const void* allocationBase(const void* address) {
    std::lock_guard<std::mutex> lock(registryMutex());
    const auto holder = lastDeviceBlockFrom(address);
    if (holder == deviceBlocks().end() || addressOf(address) - addressOf(holder->first) >= holder->second.size) {
        return nullptr;
    }
    return holder->first;
}

DeviceOverlap overlapDeviceMemory(int device, const void* begin, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(registryMutex());
    DeviceOverlap overlap{false, false};
    forEachOverlappingBlock(begin, bytes, [&](const DeviceBlock& block) {
        (block.device == device ? overlap.device : overlap.other) = true;
    });
    return overlap;
}

// Device memory is host memory the stand-in owns, counted against the current device's share; null for a zero
// size as the runtime gives. A failed call leaves *devPtr as it was.
cudaError_t cudaMalloc(void** devPtr, size_t size) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> deviceLock(state.mutex);
    if (takeCall(deviceLock, state, EmulatedOperation::cudaMalloc).fails) {
        return cudaErrorMemoryAllocation;
    }
    if (devPtr == nullptr) {
        return cudaErrorInvalidValue;
    }
    if (size > freeBytes(state)) {
        return cudaErrorMemoryAllocation;
    }
    void* memory = nullptr;
    if (size != 0) {
        memory = newMemory(size, kDeviceAlignment);
        if (memory == nullptr) {
            return cudaErrorMemoryAllocation;
        }
        {
            std::lock_guard<std::mutex> lock(registryMutex());
            deviceBlocks()[static_cast<unsigned char*>(memory)] = DeviceBlock{size, device, nextAllocationEpoch()};
        }
        state.allocatedBytes += size;
        ++state.epoch;
    }
    *devPtr = memory;
    return cudaSuccess;
}

// Waits for the current device's queued work, then releases an allocation of that device; a null pointer releases
// nothing.
cudaError_t cudaFree(void* devPtr) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> deviceLock(state.mutex);
    if (takeCall(deviceLock, state, EmulatedOperation::cudaFree).fails) {
        return cudaErrorUnknown;
    }
    runPendingWork(state);
    if (devPtr == nullptr) {
        return cudaSuccess;
    }
    std::size_t size = 0;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        const auto found = deviceBlocks().find(static_cast<unsigned char*>(devPtr));
        if (found == deviceBlocks().end() || found->second.device != device) {
            return cudaErrorInvalidValue;
        }
        size = found->second.size;
        deviceBlocks().erase(found);
    }
    ::operator delete(devPtr, std::align_val_t(kDeviceAlignment));
    state.allocatedBytes -= size;
    ++state.epoch;
    return cudaSuccess;
}

// Only the default flags are modelled; others are an invalid value, as a null pointer is. A failed call leaves
// *pHost as it was.
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
    {
        DeviceState& state = deviceState(currentDevice());
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cudaHostAlloc).fails) {
            return cudaErrorMemoryAllocation;
        }
    }
    if (pHost == nullptr || flags != cudaHostAllocDefault) {
        return cudaErrorInvalidValue;
    }
    void* memory = nullptr;
    if (size != 0) {
        memory = newMemory(size, kHostAlignment);
        if (memory == nullptr) {
            return cudaErrorMemoryAllocation;
        }
        std::lock_guard<std::mutex> lock(registryMutex());
        hostBlocks()[static_cast<unsigned char*>(memory)] = size;
    }
    *pHost = memory;
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
    {
        DeviceState& state = deviceState(currentDevice());
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cudaFreeHost).fails) {
            return cudaErrorUnknown;
        }
    }
    if (ptr == nullptr) {
        return cudaSuccess;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        if (hostBlocks().erase(static_cast<unsigned char*>(ptr)) == 0) {
            return cudaErrorInvalidValue;
        }
    }
    ::operator delete(ptr, std::align_val_t(kHostAlignment));
    return cudaSuccess;
}

// Waits for the current device's queued work, then reports its memory: the modelled total, and what its live
// allocations leave of it.
cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
    DeviceState& state = deviceState(currentDevice());
    std::unique_lock<std::mutex> lock(state.mutex);
    if (takeCall(lock, state, EmulatedOperation::cudaMemGetInfo).fails) {
        return cudaErrorUnknown;
    }
    if (free == nullptr || total == nullptr) {
        return cudaErrorInvalidValue;
    }
    runPendingWork(state);
    *free = freeBytes(state);
    *total = deviceMemoryBytes.load();
    return cudaSuccess;
}

bool emulatedSetDeviceMemory(std::size_t bytes) {
    if (bytes == 0) {
        return false;
    }
    deviceMemoryBytes.store(bytes);
    return true;
}

long emulatedLiveDeviceAllocations() {
    std::lock_guard<std::mutex> lock(registryMutex());
    return static_cast<long>(deviceBlocks().size());
}

long emulatedLiveHostAllocations() {
    std::lock_guard<std::mutex> lock(registryMutex());
    return static_cast<long>(hostBlocks().size());
}

void emulatedReleaseEverything() {
    for (int device = 0; device < kEmulatedMaxDevices; ++device) {
        DeviceState& state = deviceState(device);
        std::lock_guard<std::mutex> lock(state.mutex);
        state.pending.clear();
        state.allocatedBytes = 0;
        state.memoCall = SgemmCall{};
        state.memoProduct.clear();
        ++state.epoch;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    for (const auto& block : deviceBlocks()) {
        ::operator delete(block.first, std::align_val_t(kDeviceAlignment));
    }
    deviceBlocks().clear();
    for (const auto& block : hostBlocks()) {
        ::operator delete(block.first, std::align_val_t(kHostAlignment));
    }
    hostBlocks().clear();
    releaseContexts();
    releaseEvents();
}

const char* cudaGetErrorName(cudaError_t error) {
    switch (error) {
        case cudaSuccess:
            return "cudaSuccess";
        case cudaErrorInvalidValue:
            return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation:
            return "cudaErrorMemoryAllocation";
        case cudaErrorInvalidDevice:
            return "cudaErrorInvalidDevice";
        case cudaErrorInvalidResourceHandle:
            return "cudaErrorInvalidResourceHandle";
        case cudaErrorNotReady:
            return "cudaErrorNotReady";
        case cudaErrorUnknown:
            return "cudaErrorUnknown";
    }
    // As the runtime answers for a value it does not know.
    return "unrecognized error code";
}
