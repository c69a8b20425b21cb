// Declarations the host stand-in's source files share: its devices with their locks and queued work, the registry
// lock, call plans and each device's epoch.
//
// Locks: every device has its own, held while a call works on that device, heavy work included, so that devices
// run side by side; the registry lock guards the tables of live allocations, contexts and events and is held only
// to look up or change them. A thread holds at most one device lock at a time and may take the registry lock while
// holding it, but never takes a device lock while holding the registry lock, so no two threads wait on each other.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <tuple>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/emulatedGpuLibrary.h"

constexpr int kOperationCount = static_cast<int>(EmulatedOperation::count);

// What a cuBLAS handle points to: the device that was current when it was created, and the modes set on it; the
// modes are read and written under that device's lock.
struct cublasContext {
    int device;
    cublasPointerMode_t pointerMode = CUBLAS_POINTER_MODE_HOST;
    cublasMath_t mathMode = CUBLAS_DEFAULT_MATH;
};

// What an event handle points to; guarded by the registry lock.
struct CUevent_st {
    int device;              // current when the event was created
    std::uint64_t recordId;  // of its last record, unique in the process; 0 when it was never recorded
    bool complete;           // its last record has been reached by its device's work
    std::chrono::steady_clock::time_point completedAt;
};

// How one call goes: whether it fails by plan and, for SGEMM, whether it corrupts its output.
struct CallPlan {
    bool fails;
    bool corrupts;
};

// The arguments of an SGEMM call with beta 0 that decide the product it writes, wherever it writes it: alpha and
// beta by their bits so that -0 differs from 0, and whether it computes in TF32.
using SgemmCall =
    std::tuple<cublasHandle_t, int, int, int, std::uint32_t, const float*, int, const float*, int, std::uint32_t, bool>;

// One SGEMM call's work, its arguments checked, waiting for its device to run it. In device pointer mode alpha and
// beta are read from device memory when the work runs, as a GPU reads them.
struct SgemmWork {
    cublasHandle_t handle;
    int m, n, k;
    float alpha, beta;
    const float* alphaOnDevice;  // null in host pointer mode
    const float* betaOnDevice;
    const float* A;
    int lda;
    const float* B;
    int ldb;
    float* C;
    int ldc;
    bool tf32;  // the context's math mode allows TF32 tensor-op math
    bool corrupts;
};

// One level-1 call's work (cublasScopy_v2, cublasSaxpy_v2 or cublasSasum_v2) on n contiguous elements, its
// arguments checked. Saxpy's alpha and Sasum's result lie on the device in device pointer mode.
struct Level1Work {
    EmulatedOperation operation;
    int n;
    const float* x;
    float* y;                    // Scopy's and Saxpy's output
    float alpha;                 // Saxpy's, in host pointer mode
    const float* alphaOnDevice;  // Saxpy's, in device pointer mode
    float* result;               // Sasum's, on the device
    bool corrupts;
};

// What one item of a device's queued work is.
enum class WorkKind { sgemm, level1, record };

// One item of a device's queued work: an SGEMM, a level-1 call, or an event record that completes when the queue
// reaches it.
struct QueuedWork {
    WorkKind kind;
    SgemmWork sgemm;
    Level1Work level1;
    cudaEvent_t event;
    std::uint64_t recordId;
};

// Everything one device owns; guarded by its mutex.
struct DeviceState {
    std::mutex mutex;
    long callCounts[kOperationCount] = {};
    std::vector<long> plannedFailures[kOperationCount];
    std::vector<long> plannedHangs[kOperationCount];
    std::vector<long> plannedCorruptions[kOperationCount];
    double slowdown = 1.0;
    std::chrono::steady_clock::time_point slowdownFrom = std::chrono::steady_clock::time_point::min();
    // Moves on every change of the device's bytes; see emulatedDeviceEpoch.
    std::uint64_t epoch = 0;
    // The last call that computed its product with beta 0 (with another beta, C is an input): its arguments, the
    // epochs of the allocations holding A and B when it read them, where the product was last written and that
    // allocation's epoch just after, and a copy of the product, which a later call of the same arguments writes into
    // its C unless the product is there already. Its first value names no live handle, so it matches no call until a
    // product is written.
    SgemmCall memoCall{};
    std::uint64_t memoEpochA = 0;
    std::uint64_t memoEpochB = 0;
    const float* memoC = nullptr;
    int memoLdc = 0;
    std::uint64_t memoEpochC = 0;
    std::vector<float> memoProduct;  // m x n, column by column without padding
    long computedProducts = 0;
    std::size_t allocatedBytes = 0;
    std::deque<QueuedWork> pending;
};

// Device index's state, for index 0..kEmulatedMaxDevices-1; never destroyed.
DeviceState& deviceState(int index);

// The calling thread's current device, 0 until it selects another.
int currentDevice();

// The devices modelled now.
int modelledDeviceCount();

// Makes device index the calling thread's current device.
void setCurrentDevice(int index);

// The lock of the tables of live allocations, contexts and events.
std::mutex& registryMutex();

// Counts one call of the operation on the device and says what was planned for it. Needs the device's lock, held
// by lock. A call planned to hang lets go of the lock and blocks until the process ends, or until
// emulatedReleaseHangs, after which it takes the lock again and fails.
CallPlan takeCall(std::unique_lock<std::mutex>& lock, DeviceState& state, EmulatedOperation operation);

// Runs the device's queued work in order: all of it when upToRecordId is 0, otherwise up to and including the
// record with that id. Needs the device's lock.
void runPendingWork(DeviceState& state, std::uint64_t upToRecordId = 0);

// Waits, after a unit of the device's work that began at start and has just ended, for (slowdown - 1) times the
// time it took. Needs the device's lock.
void stretchWork(const DeviceState& state, std::chrono::steady_clock::time_point start);

// The values one product is computed from; the shape and leading dimensions have been checked.
struct ProductOperands {
    int m, n, k;
    float alpha, beta;
    const float* A;
    int lda;
    const float* B;
    int ldb;
    float* C;
    int ldc;
};

// C := alpha * A * B + beta * C (beta 0: C is not read) with every element of A * B the k-ordered fused
// multiply-add sum from +0, each scaling rounded; C := beta * C (zeros for beta 0) when alpha or k is 0, as BLAS does.
// With tf32, every element of A and B is first rounded to TF32 (roundToTf32), as tensor-op math takes its inputs.
void computeProduct(const ProductOperands& operands, bool tf32 = false);

// The float rounded to TF32's 10 fraction bits, to nearest with ties to even; infinities and NaNs stay as they are,
// and a value rounding past the largest float becomes infinite.
float roundToTf32(float value);

// Runs one SGEMM's work on the device: computes its product or finds it, then corrupts it if planned. Needs the
// device's lock.
void runSgemm(DeviceState& state, const SgemmWork& queued);

// Runs one level-1 call's work on the device, then corrupts its output if planned. Needs the device's lock.
void runLevel1(DeviceState& state, const Level1Work& work);

// Marks the event complete, at the present time, if its last record is the one with this id. Takes the registry
// lock.
void completeRecord(cudaEvent_t event, std::uint64_t recordId);

// Bytes spanned by a column-major rows x cols block of elemSize-byte elements with leading dimension ld, from its
// first element to just past its last; false when that does not fit in a size_t. Needs rows, cols > 0, ld >= rows.
bool blockSpanBytes(int rows, int cols, int elemSize, int ld, std::size_t* bytes);

// Whether all of [begin, begin + bytes), bytes > 0, lies inside one live allocation of the device. Takes the
// registry lock.
bool insideDeviceMemory(int device, const void* begin, std::size_t bytes);

// Gives every live allocation that holds any byte of [begin, begin + bytes), bytes > 0, a new epoch:
// their bytes have changed. Takes the registry lock.
void markDeviceBytesChanged(const void* begin, std::size_t bytes);

// The epoch of the live allocation holding address, which moves whenever its bytes change and is never reused by
// another allocation; 0 when no live allocation holds it. Takes the registry lock.
std::uint64_t allocationEpoch(const void* address);

// The base address of the live allocation holding address, or null. Takes the registry lock.
const void* allocationBase(const void* address);

// Which devices' live allocations hold any byte of [begin, begin + bytes), bytes > 0: the given device's, and any
// other's. Takes the registry lock.
struct DeviceOverlap {
    bool device;
    bool other;
};
DeviceOverlap overlapDeviceMemory(int device, const void* begin, std::size_t bytes);

// Whether a scalar passed by pointer (alpha, beta, a sum's result) lies where the pointer mode says: inside the
// device's memory in device pointer mode, outside every device's memory in host pointer mode. Takes the registry
// lock.
bool scalarWhereTheModeSays(int device, bool onDevice, const float* scalar);

// The device of the live context the handle names, or -1 when it names none. Takes the registry lock.
int contextDevice(cublasHandle_t handle);

// Releases every live context and every live event. Needs the registry lock.
void releaseContexts();
void releaseEvents();
