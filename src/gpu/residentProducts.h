// The library calls of the resident workload: operands uploaded once, products written on the device into buffers
// of their own, each compared there with a yardstick product by cuBLAS level-1 calls, and the device events that
// time the SGEMMs.
//
// The comparison of a product P with the yardstick Y: D := P (cublasScopy_v2), D := -1 * Y + D (cublasSaxpy_v2),
// sum := |D[0]| + ... (cublasSasum_v2), all in device pointer mode, so the sums collect in device memory and are read
// in batches. P differs from Y exactly when its sum is not 0 (a NaN sum included): Y - P is exact or rounds to a
// non-zero value for any two different finite floats, thanks to gradual underflow, and a sum of magnitudes is at
// least its largest term. What this cannot see: a difference that a flush-to-zero mode turns into 0 (two products
// differing only below the smallest normal float, 1.2e-38, where products of the test data, each at least about 1e-9
// when not 0, never are), and the sign of a zero (-0 equals +0).
#pragma once

#include "common/matrix.h"
#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Most product buffers one batch writes before its sums are read.
constexpr int kMaxResidentBatch = 64;

// The scalars kept in device memory: alpha and beta of the SGEMMs, the -1 of the comparison, then one sum per
// product buffer.
constexpr int kResidentAlpha = 0;
constexpr int kResidentBeta = 1;
constexpr int kResidentMinusOne = 2;
constexpr int kResidentFirstSum = 3;

// The resident workload's device memory; null until allocated.
struct ResidentMatrices {
    float* devA = nullptr;
    float* devB = nullptr;
    float* yardstick = nullptr;   // the product every later one is compared with
    float* difference = nullptr;  // a product minus the yardstick, while it is summed
    float* scalars = nullptr;     // kResidentFirstSum + batch floats
    float* products[kMaxResidentBatch] = {};
    int batch = 0;  // product buffers allocated
};

// Device bytes the resident workload needs at the shape with batch product buffers.
double residentDeviceBytes(MatrixShape shape, int batch);

// Allocates A, B, the yardstick, the difference, batch (1 to kMaxResidentBatch) product buffers and the scalars, in
// that order; fails with "!!!! device memory allocation error (...)\n" naming the buffer, leaving those allocated so
// far set in matrices for releaseResidentMatrices.
StageResult allocateResidentMatrices(MatrixShape shape, int batch, ResidentMatrices* matrices);

// Uploads hostA and hostB, and the scalars 1, 0 and -1, then puts the context in device pointer mode, which every
// resident call below expects.
StageResult prepareResidentOperands(cublasHandle_t context, MatrixShape shape, const float* hostA, const float* hostB,
                                    const ResidentMatrices& matrices);

// into := A * B on the device (alpha and beta from device memory), queued; fails with "!!!! kernel execution error.\n".
StageResult multiplyResident(cublasHandle_t context, MatrixShape shape, const ResidentMatrices& matrices, float* into);

// Queues the comparison of product with the yardstick, its sum landing in the scalars at kResidentFirstSum + slot.
// Needs contiguous matrices (ld equal to the order) of at most 2^31 - 1 elements. Fails with
// "!!!! device check error (cublasScopy_v2)\n", or the failing call's name.
StageResult compareResident(cublasHandle_t context, MatrixShape shape, const ResidentMatrices& matrices,
                            const float* product, int slot);

// Waits for the device's queued work and reads the first count sums into hostSums; fails with
// "!!!! device access error (read sums)\n".
StageResult readResidentSums(const ResidentMatrices& matrices, int count, float* hostSums);

// Downloads a device matrix of the shape into host; fails with "!!!! device access error (read product)\n".
StageResult downloadProduct(MatrixShape shape, const float* device, float* host);

// Frees whichever buffers are allocated, in reverse order, setting each to null; fails with
// "!!!! device memory release error\n" on the first that cannot be freed.
StageResult releaseResidentMatrices(ResidentMatrices* matrices);

// Sets the context's math mode to TF32 tensor-op math (tf32) or the default; fails with
// "!!!! CUBLAS math mode error\n".
StageResult setMathMode(cublasHandle_t context, bool tf32);

// Device events by the count: created, recorded on the default stream, and read as the seconds between two.
// Each fails with "!!!! event error\n"; creation leaves those created so far set for destroyEvents.
StageResult createEvents(cudaEvent_t* events, int count);
StageResult recordEvent(cudaEvent_t event);
StageResult waitForEvent(cudaEvent_t event);
StageResult secondsBetweenEvents(cudaEvent_t start, cudaEvent_t end, double* seconds);
StageResult destroyEvents(cudaEvent_t* events, int count);
