// The host stand-in's cublasSgemm_v2: queued work, and the memo that spares computing again a product already known.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// Elements from the start of a column-major matrix to the start of the column.
std::size_t columnOffset(int column, int ld) {
    return static_cast<std::size_t>(column) * static_cast<std::size_t>(ld);
}

// The value's bits, so that -0 differs from 0 and a NaN matches itself.
std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

bool scalarWhereTheModeSays(int device, bool onDevice, const float* scalar) {
    if (onDevice) {
        return insideDeviceMemory(device, scalar, sizeof(float));
    }
    const DeviceOverlap overlap = overlapDeviceMemory(device, scalar, sizeof(float));
    return !overlap.device && !overlap.other;
}

// C := alpha * A * B + beta * C on column-major operands in the current device's memory, no transposes, with a
// context of that device. Checks its arguments and returns at once; its work waits in the device's queue for the
// next call that waits for the device. With beta 0, C is not read. In device pointer mode alpha and beta must each
// lie in the device's memory and are read when the work runs; in host pointer mode they must not lie in any
// device's memory, since a GPU could not read them there.
cublasStatus_t cublasSgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const float* alpha, const float* A, int lda, const float* B, int ldb,
                              const float* beta, float* C, int ldc) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    const CallPlan plan = takeCall(lock, state, EmulatedOperation::cublasSgemm_v2);
    if (plan.fails) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (contextDevice(handle) != device) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (transa != CUBLAS_OP_N || transb != CUBLAS_OP_N) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    if (m < 0 || n < 0 || k < 0 || lda < std::max(1, m) || ldb < std::max(1, k) || ldc < std::max(1, m) ||
        alpha == nullptr || beta == nullptr || A == nullptr || B == nullptr || C == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const bool scalarsOnDevice = handle->pointerMode == CUBLAS_POINTER_MODE_DEVICE;
    if (!scalarWhereTheModeSays(device, scalarsOnDevice, alpha) ||
        !scalarWhereTheModeSays(device, scalarsOnDevice, beta)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (m == 0 || n == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    const auto onDevice = [device](const float* operand, int rows, int cols, int ld) {
        std::size_t bytes = 0;
        return blockSpanBytes(rows, cols, static_cast<int>(sizeof(float)), ld, &bytes) &&
               insideDeviceMemory(device, operand, bytes);
    };
    if (!onDevice(C, m, n, ldc) || (k != 0 && (!onDevice(A, m, k, lda) || !onDevice(B, k, n, ldb)))) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    SgemmWork work{handle,
                   m,
                   n,
                   k,
                   0.0f,
                   0.0f,
                   nullptr,
                   nullptr,
                   A,
                   lda,
                   B,
                   ldb,
                   C,
                   ldc,
                   (handle->mathMode & 0xf) == CUBLAS_TF32_TENSOR_OP_MATH,
                   plan.corrupts};
    if (scalarsOnDevice) {
        work.alphaOnDevice = alpha;
        work.betaOnDevice = beta;
    } else {
        work.alpha = *alpha;
        work.beta = *beta;
    }
    state.pending.push_back(QueuedWork{WorkKind::sgemm, work, Level1Work{}, nullptr, 0});
    return CUBLAS_STATUS_SUCCESS;
}

namespace {

// Copies the m x n product between C (leading dimension ldc) and the memo's packed copy, in either direction.
void saveProduct(const SgemmWork& work, std::vector<float>* saved) {
    saved->resize(static_cast<std::size_t>(work.m) * static_cast<std::size_t>(work.n));
    for (int column = 0; column < work.n; ++column) {
        std::memcpy(saved->data() + columnOffset(column, work.m), work.C + columnOffset(column, work.ldc),
                    static_cast<std::size_t>(work.m) * sizeof(float));
    }
}

void restoreProduct(const SgemmWork& work, const std::vector<float>& saved) {
    for (int column = 0; column < work.n; ++column) {
        std::memcpy(work.C + columnOffset(column, work.ldc), saved.data() + columnOffset(column, work.m),
                    static_cast<std::size_t>(work.m) * sizeof(float));
    }
}

// Bytes from the first element of C to just past its last.
std::size_t outputSpan(const SgemmWork& work) {
    std::size_t bytes = 0;
    blockSpanBytes(work.m, work.n, static_cast<int>(sizeof(float)), work.ldc, &bytes);
    return bytes;
}

}  // namespace

// A call with beta 0 and the arguments of the last product computed with beta 0, whose A and B allocations have
// not changed since it read them, does not compute again: its product is in C already when C is where the product
// was last written and that allocation has not changed since, and is copied into C from the memo otherwise (as when
// the program uploaded another C, which beta 0 does not read, or writes the product into another buffer). A and B
// sharing C's allocation are never taken as unchanged.
void runSgemm(DeviceState& state, const SgemmWork& queued) {
    const auto start = std::chrono::steady_clock::now();
    SgemmWork work = queued;
    if (work.alphaOnDevice != nullptr) {
        work.alpha = *work.alphaOnDevice;
        work.beta = *work.betaOnDevice;
    }
    const SgemmCall call{work.handle, work.m,   work.n, work.k,   bitsOf(work.alpha),
                         work.A,      work.lda, work.B, work.ldb, bitsOf(work.beta),
                         work.tf32};
    const std::size_t outputBytes = outputSpan(work);
    const void* outputBase = allocationBase(work.C);
    const bool operandsApart =
        work.k == 0 || (allocationBase(work.A) != outputBase && allocationBase(work.B) != outputBase);
    const std::uint64_t epochA = work.k == 0 ? 0 : allocationEpoch(work.A);
    const std::uint64_t epochB = work.k == 0 ? 0 : allocationEpoch(work.B);
    const bool found = work.beta == 0.0f && operandsApart && state.memoCall == call && state.memoEpochA == epochA &&
                       state.memoEpochB == epochB;
    if (found) {
        if (work.C != state.memoC || work.ldc != state.memoLdc || allocationEpoch(work.C) != state.memoEpochC) {
            restoreProduct(work, state.memoProduct);
            markDeviceBytesChanged(work.C, outputBytes);
            state.memoC = work.C;
            state.memoLdc = work.ldc;
            state.memoEpochC = allocationEpoch(work.C);
            ++state.epoch;
        }
    } else {
        computeProduct(ProductOperands{work.m, work.n, work.k, work.alpha, work.beta, work.A, work.lda, work.B,
                                       work.ldb, work.C, work.ldc},
                       work.tf32);
        ++state.computedProducts;
        markDeviceBytesChanged(work.C, outputBytes);
        ++state.epoch;
        if (work.beta == 0.0f && operandsApart) {
            saveProduct(work, &state.memoProduct);
            state.memoCall = call;
            state.memoEpochA = epochA;
            state.memoEpochB = epochB;
            state.memoC = work.C;
            state.memoLdc = work.ldc;
            state.memoEpochC = allocationEpoch(work.C);
        } else {
            state.memoCall = SgemmCall{};
            state.memoProduct.clear();
        }
    }
    if (work.corrupts) {
        work.C[0] = std::numeric_limits<float>::quiet_NaN();
        markDeviceBytesChanged(work.C, outputBytes);
        ++state.epoch;
    }
    stretchWork(state, start);
}
