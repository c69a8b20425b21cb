// Declarations the host stand-in's source files share: the lock, call plans, device memory and the epoch.
//
// Every function here expects the caller to hold emulatedMutex(); the public entry points take it once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/emulatedGpuLibrary.h"

// What a cuBLAS handle points to; the stand-in keeps nothing per context.
struct cublasContext {};

// How one call goes: whether it fails by plan and, for SGEMM, whether it corrupts its output.
struct CallPlan {
    bool fails;
    bool corrupts;
};

// The lock every entry point of the stand-in holds while it runs.
std::mutex& emulatedMutex();

// Counts one call of the operation and says what was planned for it.
CallPlan takeCall(EmulatedOperation operation);

// The device-memory epoch; every change of device bytes adds one to it.
extern std::uint64_t deviceEpoch;

// Bytes spanned by a column-major rows x cols block of elemSize-byte elements with leading dimension ld, from its
// first element to just past its last; false when that does not fit in a size_t. Needs rows, cols > 0, ld >= rows.
bool blockSpanBytes(int rows, int cols, int elemSize, int ld, std::size_t* bytes);

// Whether all of [begin, begin + bytes), bytes > 0, lies inside one live device allocation.
bool insideDeviceMemory(const void* begin, std::size_t bytes);

// Whether any byte of the object [begin, begin + bytes), bytes > 0, lies inside a live device allocation.
bool overlapsDeviceMemory(const void* begin, std::size_t bytes);

// Whether the handle names a live context.
bool contextIsLive(cublasHandle_t handle);

// Releases every live context.
void releaseContexts();
