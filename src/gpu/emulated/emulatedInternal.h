// Declarations the host stand-in's source files share: its registries, call plans and the context record.
//
// Every function here expects the caller to hold emulatedMutex(); the public entry points take it once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/emulated/emulatedGpuLibrary.h"

// Alignment the runtime guarantees for device allocations, and the one the stand-in gives page-locked memory.
constexpr std::size_t kDeviceAlignment = 256;
constexpr std::size_t kHostAlignment = 64;

// One live device allocation. The generation changes whenever the content does.
struct DeviceAllocation {
    unsigned char* base;
    std::size_t size;
    std::uint64_t generation;
};

// The arguments of one SGEMM call that decide what it writes, compared bit for bit.
struct SgemmArguments {
    cublasOperation_t transa;
    cublasOperation_t transb;
    int m;
    int n;
    int k;
    std::uint32_t alphaBits;
    std::uint32_t betaBits;
    const float* A;
    int lda;
    const float* B;
    int ldb;
    float* C;
    int ldc;
};

// The last product a context wrote, and the operand contents it was computed from.
struct SgemmMemo {
    bool valid;
    SgemmArguments arguments;
    std::uint64_t generationA;
    std::uint64_t generationB;
    std::uint64_t generationC;  // stamped when the product was written
};

// What a cuBLAS handle points to.
struct cublasContext {
    SgemmMemo lastProduct;
};

// How one call goes: whether it fails by plan and, for SGEMM, whether it corrupts its output.
struct CallPlan {
    bool fails;
    bool corrupts;
};

// The lock every entry point of the stand-in holds while it runs.
std::mutex& emulatedMutex();

// Counts one call of the operation and says what was planned for it.
CallPlan takeCall(EmulatedOperation operation);

// A generation no allocation has carried before.
std::uint64_t freshGeneration();

// Bytes spanned by a column-major rows x cols block of elemSize-byte elements with leading dimension ld, from its
// first element to just past its last; false when that does not fit in a size_t. Needs rows, cols > 0, ld >= rows.
bool blockSpanBytes(int rows, int cols, int elemSize, int ld, std::size_t* bytes);

// Allocates, fills with all-ones bytes (NaN as floats) and registers device memory; null when out of memory.
unsigned char* createDeviceAllocation(std::size_t size);

// Releases the device allocation starting exactly at base; false when there is none.
bool destroyDeviceAllocation(const void* base);

// The live device allocation holding all of [begin, begin + bytes), bytes > 0; null when none does.
DeviceAllocation* deviceAllocationHolding(const void* begin, std::size_t bytes);

// Gives a fresh generation to every device allocation that overlaps [begin, begin + bytes).
void stampOverlappingDeviceAllocations(const void* begin, std::size_t bytes);

// Allocates, fills with all-ones bytes and registers page-locked host memory; null when out of memory.
unsigned char* createHostAllocation(std::size_t size);

// Releases the page-locked allocation starting exactly at base; false when there is none.
bool destroyHostAllocation(const void* base);

// Creates and registers a context with no remembered product; null when out of memory.
cublasContext* createContext();

// Releases a live context; false when the handle is not one.
bool destroyContext(cublasHandle_t handle);

// Whether the handle names a live context.
bool contextIsLive(cublasHandle_t handle);
