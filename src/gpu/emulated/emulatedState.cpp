// The host stand-in's registries of live device memory, page-locked memory and contexts.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <set>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// The registries below are never destroyed: memory the program leaves to process exit on a
// failure path stays reachable through them, as it would through a real driver, instead of
// showing up as a leak when they are torn down at exit.

// Device allocations by base address, so that the one holding an interior pointer is found by one lookup.
std::map<std::uintptr_t, DeviceAllocation>& deviceAllocations() {
    static auto* allocations = new std::map<std::uintptr_t, DeviceAllocation>;
    return *allocations;
}

// Page-locked allocations by base address.
std::map<std::uintptr_t, unsigned char*>& hostAllocations() {
    static auto* allocations = new std::map<std::uintptr_t, unsigned char*>;
    return *allocations;
}

// Contexts cublasCreate_v2 handed out and cublasDestroy_v2 has not yet released.
std::set<cublasContext*>& liveContexts() {
    static auto* contexts = new std::set<cublasContext*>;
    return *contexts;
}

// The generation handed out last; never reset, so a reused address never brings back an old one.
std::uint64_t lastGeneration = 0;

// The pointer as an integer, which can be ordered against any other.
std::uintptr_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// Aligned, all-ones-filled memory (uninitialised device memory holds garbage; NaNs make reliance on it show);
// null when out of memory.
unsigned char* allocateFilled(std::size_t size, std::size_t alignment) {
    void* memory = ::operator new(size, std::align_val_t(alignment), std::nothrow);
    if (memory != nullptr) {
        std::memset(memory, 0xFF, size);
    }
    return static_cast<unsigned char*>(memory);
}

// Returns memory allocateFilled gave with the same alignment.
void releaseAligned(void* base, std::size_t alignment) {
    ::operator delete(base, std::align_val_t(alignment));
}

}  // namespace

std::mutex& emulatedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::uint64_t freshGeneration() {
    return ++lastGeneration;
}

bool blockSpanBytes(int rows, int cols, int elemSize, int ld, std::size_t* bytes) {
    // (cols - 1) * ld + rows elements: below 2^62 for int arguments, so only the byte count can overflow.
    const std::uint64_t elements =
        static_cast<std::uint64_t>(cols - 1) * static_cast<std::uint64_t>(ld) + static_cast<std::uint64_t>(rows);
    const std::uint64_t limit = std::numeric_limits<std::size_t>::max();
    if (elements > limit / static_cast<std::uint64_t>(elemSize)) {
        return false;
    }
    *bytes = static_cast<std::size_t>(elements * static_cast<std::uint64_t>(elemSize));
    return true;
}

unsigned char* createDeviceAllocation(std::size_t size) {
    unsigned char* base = allocateFilled(size, kDeviceAlignment);
    if (base != nullptr) {
        deviceAllocations()[addressOf(base)] = DeviceAllocation{base, size, freshGeneration()};
    }
    return base;
}

bool destroyDeviceAllocation(const void* base) {
    const auto found = deviceAllocations().find(addressOf(base));
    if (found == deviceAllocations().end()) {
        return false;
    }
    releaseAligned(found->second.base, kDeviceAlignment);
    deviceAllocations().erase(found);
    return true;
}

DeviceAllocation* deviceAllocationHolding(const void* begin, std::size_t bytes) {
    const std::uintptr_t first = addressOf(begin);
    auto after = deviceAllocations().upper_bound(first);
    if (after == deviceAllocations().begin()) {
        return nullptr;
    }
    DeviceAllocation& allocation = std::prev(after)->second;
    const std::uintptr_t offset = first - addressOf(allocation.base);
    if (offset >= allocation.size || bytes > allocation.size - offset) {
        return nullptr;
    }
    return &allocation;
}

void stampOverlappingDeviceAllocations(const void* begin, std::size_t bytes) {
    const std::uintptr_t first = addressOf(begin);
    const std::uintptr_t end = bytes > std::numeric_limits<std::uintptr_t>::max() - first
                                   ? std::numeric_limits<std::uintptr_t>::max()
                                   : first + bytes;
    for (auto& [base, allocation] : deviceAllocations()) {
        if (base < end && first < base + allocation.size) {
            allocation.generation = freshGeneration();
        }
    }
}

unsigned char* createHostAllocation(std::size_t size) {
    unsigned char* base = allocateFilled(size, kHostAlignment);
    if (base != nullptr) {
        hostAllocations()[addressOf(base)] = base;
    }
    return base;
}

bool destroyHostAllocation(const void* base) {
    const auto found = hostAllocations().find(addressOf(base));
    if (found == hostAllocations().end()) {
        return false;
    }
    releaseAligned(found->second, kHostAlignment);
    hostAllocations().erase(found);
    return true;
}

cublasContext* createContext() {
    cublasContext* context = new (std::nothrow) cublasContext{};
    if (context != nullptr) {
        liveContexts().insert(context);
    }
    return context;
}

bool destroyContext(cublasHandle_t handle) {
    if (liveContexts().erase(handle) == 0) {
        return false;
    }
    delete handle;
    return true;
}

bool contextIsLive(cublasHandle_t handle) {
    return liveContexts().count(handle) != 0;
}

long emulatedLiveDeviceAllocations() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return static_cast<long>(deviceAllocations().size());
}

long emulatedLiveHostAllocations() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return static_cast<long>(hostAllocations().size());
}

long emulatedLiveContexts() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return static_cast<long>(liveContexts().size());
}

void emulatedReleaseEverything() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    for (const auto& entry : deviceAllocations()) {
        releaseAligned(entry.second.base, kDeviceAlignment);
    }
    deviceAllocations().clear();
    for (const auto& entry : hostAllocations()) {
        releaseAligned(entry.second, kHostAlignment);
    }
    hostAllocations().clear();
    for (cublasContext* context : liveContexts()) {
        delete context;
    }
    liveContexts().clear();
}
