// The host stand-in's devices: their state and queued work, the calling thread's current device, slowdown, the
// device queries and synchronisation, and events.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <thread>

#include "gpu/emulated/emulatedInternal.h"

namespace {

using Clock = std::chrono::steady_clock;

// The devices modelled now, the node number in their UUIDs, and the calling thread's current device.
std::atomic<int> deviceCount{kEmulatedDefaultDeviceCount};
std::atomic<int> nodeNumber{0};
thread_local int threadDevice = 0;

// A slowed device's wait sleeps until this long before its end, then spins.
constexpr std::chrono::microseconds kSleepingWaitLeft{500};

// Every record gets the next id, so that a record finds its own event even if the event was destroyed and another
// was created at the same address since.
std::atomic<std::uint64_t> lastRecordId{0};

// Events cudaEventCreate handed out and cudaEventDestroy has not yet released; never destroyed, as the memory
// registries are not.
std::set<CUevent_st*>& liveEvents() {
    static auto* events = new std::set<CUevent_st*>;
    return *events;
}

// Whether the index names a modelled device.
bool modelled(int device) {
    return device >= 0 && device < modelledDeviceCount();
}

// The device a call naming a device is counted on: that device when it is modelled, else the current one.
DeviceState& stateNamed(int device) {
    return deviceState(modelled(device) ? device : currentDevice());
}

// Counts a call of the operation on the calling thread's current device; true when it fails by plan.
bool failsOnCurrentDevice(EmulatedOperation operation) {
    DeviceState& state = deviceState(currentDevice());
    std::unique_lock<std::mutex> lock(state.mutex);
    return takeCall(lock, state, operation).fails;
}

// The live event the handle names, or null. Needs the registry lock.
CUevent_st* liveEvent(cudaEvent_t event) {
    return liveEvents().count(event) != 0 ? event : nullptr;
}

}  // namespace

DeviceState& deviceState(int index) {
    static auto* states = new DeviceState[kEmulatedMaxDevices];
    return states[index];
}

int currentDevice() {
    return threadDevice;
}

int modelledDeviceCount() {
    return deviceCount.load();
}

void setCurrentDevice(int index) {
    threadDevice = index;
}

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

void runPendingWork(DeviceState& state, std::uint64_t upToRecordId) {
    while (!state.pending.empty()) {
        const QueuedWork work = state.pending.front();
        state.pending.pop_front();
        if (work.kind == WorkKind::sgemm) {
            runSgemm(state, work.sgemm);
        } else if (work.kind == WorkKind::level1) {
            runLevel1(state, work.level1);
        } else {
            completeRecord(work.event, work.recordId);
            if (work.recordId == upToRecordId) {
                return;
            }
        }
    }
}

void stretchWork(const DeviceState& state, Clock::time_point start) {
    if (state.slowdown > 1.0 && start >= state.slowdownFrom) {
        const Clock::time_point end = Clock::now();
        const auto extra = std::chrono::duration<double>(end - start) * (state.slowdown - 1.0);
        const Clock::time_point until = end + std::chrono::duration_cast<Clock::duration>(extra);
        // Asleep for the bulk of a long wait, so that a slowed device leaves the host's cores to the others as a
        // busy GPU would, then busy for the last stretch, which a sleep would overshoot by more than short work takes.
        if (until - end > kSleepingWaitLeft) {
            std::this_thread::sleep_until(until - kSleepingWaitLeft);
        }
        while (Clock::now() < until) {
        }
    }
}

void completeRecord(cudaEvent_t event, std::uint64_t recordId) {
    std::lock_guard<std::mutex> lock(registryMutex());
    CUevent_st* live = liveEvent(event);
    if (live != nullptr && live->recordId == recordId) {
        live->complete = true;
        live->completedAt = Clock::now();
    }
}

void releaseEvents() {
    for (CUevent_st* event : liveEvents()) {
        delete event;
    }
    liveEvents().clear();
}

bool emulatedSetDeviceCount(int count) {
    if (count < 1 || count > kEmulatedMaxDevices) {
        return false;
    }
    deviceCount.store(count);
    return true;
}

bool emulatedSetNodeNumber(int node) {
    if (node < 0 || node > kEmulatedMaxNodeNumber) {
        return false;
    }
    nodeNumber.store(node);
    return true;
}

int emulatedDeviceCount() {
    return modelledDeviceCount();
}

long emulatedLiveEvents() {
    std::lock_guard<std::mutex> lock(registryMutex());
    return static_cast<long>(liveEvents().size());
}

std::uint64_t emulatedDeviceEpoch(int device) {
    if (device < 0 || device >= kEmulatedMaxDevices) {
        return 0;
    }
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.epoch;
}

long emulatedComputedProducts(int device) {
    if (device < 0 || device >= kEmulatedMaxDevices) {
        return 0;
    }
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.computedProducts;
}

long emulatedComputedProducts() {
    long total = 0;
    for (int device = 0; device < kEmulatedMaxDevices; ++device) {
        total += emulatedComputedProducts(device);
    }
    return total;
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (failsOnCurrentDevice(EmulatedOperation::cudaGetDeviceCount)) {
        return cudaErrorUnknown;
    }
    if (count == nullptr) {
        return cudaErrorInvalidValue;
    }
    *count = modelledDeviceCount();
    return cudaSuccess;
}

// Makes a modelled device the calling thread's current device; later calls on this thread work on it.
cudaError_t cudaSetDevice(int device) {
    {
        DeviceState& state = stateNamed(device);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cudaSetDevice).fails) {
            return cudaErrorUnknown;
        }
    }
    if (!modelled(device)) {
        return cudaErrorInvalidDevice;
    }
    setCurrentDevice(device);
    return cudaSuccess;
}

// Fills the fields the stand-in's cudaDeviceProp has; a failed call leaves *prop as it was.
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    {
        DeviceState& state = stateNamed(device);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cudaGetDeviceProperties).fails) {
            return cudaErrorUnknown;
        }
    }
    if (prop == nullptr) {
        return cudaErrorInvalidValue;
    }
    if (!modelled(device)) {
        return cudaErrorInvalidDevice;
    }
    *prop = cudaDeviceProp{};
    static_assert(sizeof kEmulatedDeviceName <= sizeof prop->name, "the device name fits its field");
    std::memcpy(prop->name, kEmulatedDeviceName, sizeof kEmulatedDeviceName);
    static_assert(sizeof kEmulatedUuidPrefix + 1 == sizeof prop->uuid.bytes, "the prefix and the index fill the UUID");
    std::memcpy(prop->uuid.bytes, kEmulatedUuidPrefix, sizeof kEmulatedUuidPrefix);
    prop->uuid.bytes[sizeof kEmulatedUuidPrefix - 1] = static_cast<char>(nodeNumber.load());
    prop->uuid.bytes[sizeof kEmulatedUuidPrefix] = static_cast<char>(device);
    prop->major = kEmulatedComputeMajor;
    prop->minor = kEmulatedComputeMinor;
    prop->multiProcessorCount = kEmulatedMultiprocessors;
    prop->pciBusID = kEmulatedFirstPciBus + device;
    prop->pciDeviceID = 0;
    prop->pciDomainID = 0;
    return cudaSuccess;
}

// Writes "DDDD:BB:DD.0" and its terminating null; a buffer shorter than that is an invalid value, not cut short.
cudaError_t cudaDeviceGetPCIBusId(char* pciBusId, int len, int device) {
    {
        DeviceState& state = stateNamed(device);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cudaDeviceGetPCIBusId).fails) {
            return cudaErrorUnknown;
        }
    }
    constexpr int kBusIdBytes = 13;
    if (pciBusId == nullptr || len < kBusIdBytes) {
        return cudaErrorInvalidValue;
    }
    if (!modelled(device)) {
        return cudaErrorInvalidDevice;
    }
    // Room for any int, so that the compiler sees no truncation; a modelled device's bus has two digits.
    char text[32];
    std::snprintf(text, sizeof text, "%04X:%02X:%02X.0", 0, kEmulatedFirstPciBus + device, 0);
    std::memcpy(pciBusId, text, kBusIdBytes);
    return cudaSuccess;
}

// Runs the current device's queued work.
cudaError_t cudaDeviceSynchronize(void) {
    DeviceState& state = deviceState(currentDevice());
    std::unique_lock<std::mutex> lock(state.mutex);
    if (takeCall(lock, state, EmulatedOperation::cudaDeviceSynchronize).fails) {
        return cudaErrorUnknown;
    }
    runPendingWork(state);
    return cudaSuccess;
}

// Creates an event of the current device, never recorded; a failed call leaves *event as it was.
cudaError_t cudaEventCreate(cudaEvent_t* event) {
    if (failsOnCurrentDevice(EmulatedOperation::cudaEventCreate)) {
        return cudaErrorUnknown;
    }
    if (event == nullptr) {
        return cudaErrorInvalidValue;
    }
    auto* created = new (std::nothrow) CUevent_st{currentDevice(), 0, false, Clock::time_point{}};
    if (created == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    liveEvents().insert(created);
    *event = created;
    return cudaSuccess;
}

// Records the event behind the work queued on its device, which must be current, on the default stream (null): it
// completes, taking the time, when that work has run, or at once when none is queued.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    DeviceState& state = deviceState(currentDevice());
    std::unique_lock<std::mutex> deviceLock(state.mutex);
    if (takeCall(deviceLock, state, EmulatedOperation::cudaEventRecord).fails) {
        return cudaErrorUnknown;
    }
    if (stream != nullptr) {
        return cudaErrorInvalidResourceHandle;
    }
    const std::uint64_t recordId = ++lastRecordId;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        CUevent_st* live = liveEvent(event);
        if (live == nullptr || live->device != currentDevice()) {
            return cudaErrorInvalidResourceHandle;
        }
        live->recordId = recordId;
        live->complete = state.pending.empty();
        live->completedAt = Clock::now();
    }
    if (!state.pending.empty()) {
        state.pending.push_back(QueuedWork{WorkKind::record, SgemmWork{}, Level1Work{}, event, recordId});
    }
    return cudaSuccess;
}

// Waits until the event's last record completes, running its device's work up to it; at once for an event never
// recorded.
cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    if (failsOnCurrentDevice(EmulatedOperation::cudaEventSynchronize)) {
        return cudaErrorUnknown;
    }
    int device = 0;
    std::uint64_t recordId = 0;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        const CUevent_st* live = liveEvent(event);
        if (live == nullptr) {
            return cudaErrorInvalidResourceHandle;
        }
        if (live->recordId == 0 || live->complete) {
            return cudaSuccess;
        }
        device = live->device;
        recordId = live->recordId;
    }
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    runPendingWork(state, recordId);
    return cudaSuccess;
}

// Milliseconds from start's completion to end's, both recorded on one device: not ready while either's record is
// still queued, an invalid handle when either is unknown or never recorded or they belong to different devices.
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (failsOnCurrentDevice(EmulatedOperation::cudaEventElapsedTime)) {
        return cudaErrorUnknown;
    }
    if (ms == nullptr) {
        return cudaErrorInvalidValue;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    const CUevent_st* first = liveEvent(start);
    const CUevent_st* last = liveEvent(end);
    if (first == nullptr || last == nullptr || first->recordId == 0 || last->recordId == 0 ||
        first->device != last->device) {
        return cudaErrorInvalidResourceHandle;
    }
    if (!first->complete || !last->complete) {
        return cudaErrorNotReady;
    }
    *ms = static_cast<float>(std::chrono::duration<double, std::milli>(last->completedAt - first->completedAt).count());
    return cudaSuccess;
}

// Releases the event; a record of it still queued completes nothing.
cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (failsOnCurrentDevice(EmulatedOperation::cudaEventDestroy)) {
        return cudaErrorUnknown;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    if (liveEvents().erase(event) == 0) {
        return cudaErrorInvalidResourceHandle;
    }
    delete event;
    return cudaSuccess;
}
