// The host stand-in's cuBLAS level-1 operations (copy, axpy, sum of magnitudes) and the pointer and math modes of a
// context.
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// Whether n contiguous floats from x lie inside one live allocation of the device.
bool vectorOnDevice(int device, const float* x, int n) {
    return x != nullptr && insideDeviceMemory(device, x, static_cast<std::size_t>(n) * sizeof(float));
}

// Takes the call of a level-1 operation on the current device and checks what every one of them shares: a live
// context of that device and unit strides, the only ones modelled. CUBLAS_STATUS_SUCCESS when the call may go on.
cublasStatus_t startLevel1(std::unique_lock<std::mutex>& lock, DeviceState& state, EmulatedOperation operation,
                           cublasHandle_t handle, int incx, int incy, CallPlan* plan) {
    *plan = takeCall(lock, state, operation);
    if (plan->fails) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (contextDevice(handle) != currentDevice()) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (incx != 1 || incy != 1) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    return CUBLAS_STATUS_SUCCESS;
}

// The sum of |x[i]| in index order, in single precision; NaN when any element is NaN.
float sumOfMagnitudes(const float* x, int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) {
        sum += std::fabs(x[i]);
    }
    return sum;
}

}  // namespace

// Sets the context's pointer mode; the context must be a live one of the current device.
cublasStatus_t cublasSetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t mode) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    if (takeCall(lock, state, EmulatedOperation::cublasSetPointerMode_v2).fails) {
        return CUBLAS_STATUS_INTERNAL_ERROR;
    }
    if (contextDevice(handle) != device) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (mode != CUBLAS_POINTER_MODE_HOST && mode != CUBLAS_POINTER_MODE_DEVICE) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    handle->pointerMode = mode;
    return CUBLAS_STATUS_SUCCESS;
}

// Sets the context's math mode: the default or TF32 tensor-op math, either with or without the flag that forbids
// reduced-precision reductions (which changes nothing in single precision). Other modes are not modelled.
cublasStatus_t cublasSetMathMode(cublasHandle_t handle, cublasMath_t mode) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    if (takeCall(lock, state, EmulatedOperation::cublasSetMathMode).fails) {
        return CUBLAS_STATUS_INTERNAL_ERROR;
    }
    if (contextDevice(handle) != device) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    const int base = static_cast<int>(mode) & ~static_cast<int>(CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION);
    if (base != CUBLAS_DEFAULT_MATH && base != CUBLAS_TF32_TENSOR_OP_MATH) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    handle->mathMode = mode;
    return CUBLAS_STATUS_SUCCESS;
}

// y := x for n elements on the current device, queued; n <= 0 copies nothing.
cublasStatus_t cublasScopy_v2(cublasHandle_t handle, int n, const float* x, int incx, float* y, int incy) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    CallPlan plan{};
    const cublasStatus_t status =
        startLevel1(lock, state, EmulatedOperation::cublasScopy_v2, handle, incx, incy, &plan);
    if (status != CUBLAS_STATUS_SUCCESS || n <= 0) {
        return status;
    }
    if (!vectorOnDevice(device, x, n) || !vectorOnDevice(device, y, n)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const Level1Work work{EmulatedOperation::cublasScopy_v2, n, x, y, 0.0f, nullptr, nullptr, plan.corrupts};
    state.pending.push_back(QueuedWork{WorkKind::level1, SgemmWork{}, work, nullptr, 0});
    return CUBLAS_STATUS_SUCCESS;
}

// y := alpha * x + y for n elements on the current device, queued, each element's product and sum rounded apart;
// alpha lies where the context's pointer mode says. n <= 0 changes nothing.
cublasStatus_t cublasSaxpy_v2(cublasHandle_t handle, int n, const float* alpha, const float* x, int incx, float* y,
                              int incy) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    CallPlan plan{};
    const cublasStatus_t status =
        startLevel1(lock, state, EmulatedOperation::cublasSaxpy_v2, handle, incx, incy, &plan);
    if (status != CUBLAS_STATUS_SUCCESS) {
        return status;
    }
    const bool onDevice = handle->pointerMode == CUBLAS_POINTER_MODE_DEVICE;
    if (alpha == nullptr || !scalarWhereTheModeSays(device, onDevice, alpha)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (n <= 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    if (!vectorOnDevice(device, x, n) || !vectorOnDevice(device, y, n)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const Level1Work work{EmulatedOperation::cublasSaxpy_v2,
                          n,
                          x,
                          y,
                          onDevice ? 0.0f : *alpha,
                          onDevice ? alpha : nullptr,
                          nullptr,
                          plan.corrupts};
    state.pending.push_back(QueuedWork{WorkKind::level1, SgemmWork{}, work, nullptr, 0});
    return CUBLAS_STATUS_SUCCESS;
}

// *result := the sum of |x[i]| over n elements (0 for n <= 0). In device pointer mode result lies in the current
// device's memory and the sum is queued; in host pointer mode the call waits for the device's queued work and writes
// the sum before it returns, as the library does.
cublasStatus_t cublasSasum_v2(cublasHandle_t handle, int n, const float* x, int incx, float* result) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> lock(state.mutex);
    CallPlan plan{};
    const cublasStatus_t status = startLevel1(lock, state, EmulatedOperation::cublasSasum_v2, handle, incx, 1, &plan);
    if (status != CUBLAS_STATUS_SUCCESS) {
        return status;
    }
    const bool onDevice = handle->pointerMode == CUBLAS_POINTER_MODE_DEVICE;
    if (result == nullptr || !scalarWhereTheModeSays(device, onDevice, result)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (n > 0 && !vectorOnDevice(device, x, n)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const Level1Work work{
        EmulatedOperation::cublasSasum_v2, n > 0 ? n : 0, x, nullptr, 0.0f, nullptr, result, plan.corrupts};
    if (onDevice) {
        state.pending.push_back(QueuedWork{WorkKind::level1, SgemmWork{}, work, nullptr, 0});
    } else {
        runPendingWork(state);
        runLevel1(state, work);
    }
    return CUBLAS_STATUS_SUCCESS;
}

void runLevel1(DeviceState& state, const Level1Work& work) {
    const auto start = std::chrono::steady_clock::now();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::size_t bytes = static_cast<std::size_t>(work.n) * sizeof(float);
    switch (work.operation) {
        case EmulatedOperation::cublasScopy_v2:
            std::memmove(work.y, work.x, bytes);
            break;
        case EmulatedOperation::cublasSaxpy_v2: {
            const float alpha = work.alphaOnDevice != nullptr ? *work.alphaOnDevice : work.alpha;
            for (int i = 0; i < work.n; ++i) {
                work.y[i] = alpha * work.x[i] + work.y[i];
            }
            break;
        }
        case EmulatedOperation::cublasSasum_v2:
            *work.result = work.corrupts ? nan : sumOfMagnitudes(work.x, work.n);
            break;
        default:
            break;
    }
    if (work.y != nullptr) {
        if (work.corrupts) {
            work.y[0] = nan;
        }
        markDeviceBytesChanged(work.y, bytes);
        ++state.epoch;
    } else if (allocationBase(work.result) != nullptr) {
        markDeviceBytesChanged(work.result, sizeof(float));
        ++state.epoch;
    }
    stretchWork(state, start);
}
