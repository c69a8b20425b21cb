// The resident workload's library calls, each tested where it is made.
#include "gpu/residentProducts.h"

#include <initializer_list>

#include "gpu/callWatch.h"
#include "gpu/deviceRoundTrip.h"
#include "gpu/libraryFailure.h"

namespace {

constexpr int kFloatBytes = static_cast<int>(sizeof(float));
constexpr const char* kEventFailure = "!!!! event error\n";
constexpr double kSecondsPerEventMillisecond = 1e-3;

StageResult freeBuffer(float** buffer, const char* failureMessage) {
    const cudaError_t status = watchedCall("cudaFree", [&] { return cudaFree(*buffer); });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cudaFree", status);
    }
    *buffer = nullptr;
    return stageSucceeded();
}

StageResult uploadBlock(int rows, int cols, const float* host, float* device, int ld, const char* failureMessage) {
    const cublasStatus_t status =
        watchedCall("cublasSetMatrix", [&] { return cublasSetMatrix(rows, cols, kFloatBytes, host, ld, device, ld); });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cublasSetMatrix", status);
    }
    return stageSucceeded();
}

}  // namespace

double residentDeviceBytes(MatrixShape shape, int batch) {
    const double matrix = static_cast<double>(storedBytes(shape));
    return (4.0 + batch) * matrix + (kResidentFirstSum + batch) * static_cast<double>(sizeof(float));
}

StageResult allocateResidentMatrices(MatrixShape shape, int batch, ResidentMatrices* matrices) {
    const std::size_t bytes = storedBytes(shape);
    StageResult result = allocateDevice(bytes, "!!!! device memory allocation error (A)\n", &matrices->devA);
    if (result.succeeded) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (B)\n", &matrices->devB);
    }
    if (result.succeeded) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (yardstick)\n", &matrices->yardstick);
    }
    if (result.succeeded) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (difference)\n", &matrices->difference);
    }
    for (int slot = 0; slot < batch && result.succeeded; ++slot) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (products)\n", &matrices->products[slot]);
        matrices->batch = result.succeeded ? slot + 1 : slot;
    }
    if (result.succeeded) {
        result = allocateDevice(static_cast<std::size_t>(kResidentFirstSum + batch) * sizeof(float),
                                "!!!! device memory allocation error (sums)\n", &matrices->scalars);
    }
    return result;
}

StageResult prepareResidentOperands(cublasHandle_t context, MatrixShape shape, const float* hostA, const float* hostB,
                                    const ResidentMatrices& matrices) {
    StageResult result =
        uploadBlock(shape.order, shape.order, hostA, matrices.devA, shape.ld, "!!!! device access error (write A)\n");
    if (result.succeeded) {
        result = uploadBlock(shape.order, shape.order, hostB, matrices.devB, shape.ld,
                             "!!!! device access error (write B)\n");
    }
    const float scalars[kResidentFirstSum] = {1.0f, 0.0f, -1.0f};
    if (result.succeeded) {
        result = uploadBlock(kResidentFirstSum, 1, scalars, matrices.scalars, kResidentFirstSum,
                             "!!!! device access error (write scalars)\n");
    }
    if (!result.succeeded) {
        return result;
    }
    const cublasStatus_t status = watchedCall(
        "cublasSetPointerMode_v2", [&] { return cublasSetPointerMode_v2(context, CUBLAS_POINTER_MODE_DEVICE); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! CUBLAS pointer mode error\n", "cublasSetPointerMode_v2", status);
    }
    return stageSucceeded();
}

StageResult multiplyResident(cublasHandle_t context, MatrixShape shape, const ResidentMatrices& matrices, float* into) {
    const int n = shape.order;
    const cublasStatus_t status = watchedCall("cublasSgemm_v2", [&] {
        return cublasSgemm_v2(context, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, matrices.scalars + kResidentAlpha,
                              matrices.devA, shape.ld, matrices.devB, shape.ld, matrices.scalars + kResidentBeta, into,
                              shape.ld);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! kernel execution error.\n", "cublasSgemm_v2", status);
    }
    return stageSucceeded();
}

StageResult compareResident(cublasHandle_t context, MatrixShape shape, const ResidentMatrices& matrices,
                            const float* product, int slot) {
    const int elements = static_cast<int>(storedElements(shape));
    cublasStatus_t status = watchedCall(
        "cublasScopy_v2", [&] { return cublasScopy_v2(context, elements, product, 1, matrices.difference, 1); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device check error (cublasScopy_v2)\n", "cublasScopy_v2", status);
    }
    status = watchedCall("cublasSaxpy_v2", [&] {
        return cublasSaxpy_v2(context, elements, matrices.scalars + kResidentMinusOne, matrices.yardstick, 1,
                              matrices.difference, 1);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device check error (cublasSaxpy_v2)\n", "cublasSaxpy_v2", status);
    }
    status = watchedCall("cublasSasum_v2", [&] {
        return cublasSasum_v2(context, elements, matrices.difference, 1, matrices.scalars + kResidentFirstSum + slot);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device check error (cublasSasum_v2)\n", "cublasSasum_v2", status);
    }
    return stageSucceeded();
}

StageResult readResidentSums(const ResidentMatrices& matrices, int count, float* hostSums) {
    // A copy on the default stream waits for every product and comparison queued before it.
    const cublasStatus_t status = watchedCall("cublasGetMatrix", [&] {
        return cublasGetMatrix(count, 1, kFloatBytes, matrices.scalars + kResidentFirstSum, count, hostSums, count);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device access error (read sums)\n", "cublasGetMatrix", status);
    }
    return stageSucceeded();
}

StageResult downloadProduct(MatrixShape shape, const float* device, float* host) {
    const cublasStatus_t status = watchedCall("cublasGetMatrix", [&] {
        return cublasGetMatrix(shape.order, shape.order, kFloatBytes, device, shape.ld, host, shape.ld);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device access error (read product)\n", "cublasGetMatrix", status);
    }
    return stageSucceeded();
}

StageResult releaseResidentMatrices(ResidentMatrices* matrices) {
    constexpr const char* kReleaseError = "!!!! device memory release error\n";
    StageResult result = freeBuffer(&matrices->scalars, kReleaseError);
    while (result.succeeded && matrices->batch > 0) {
        result = freeBuffer(&matrices->products[matrices->batch - 1], kReleaseError);
        matrices->batch -= result.succeeded ? 1 : 0;
    }
    for (float** buffer : {&matrices->difference, &matrices->yardstick, &matrices->devB, &matrices->devA}) {
        if (result.succeeded) {
            result = freeBuffer(buffer, kReleaseError);
        }
    }
    return result;
}

StageResult setMathMode(cublasHandle_t context, bool tf32) {
    const cublasMath_t mode = tf32 ? CUBLAS_TF32_TENSOR_OP_MATH : CUBLAS_DEFAULT_MATH;
    const cublasStatus_t status = watchedCall("cublasSetMathMode", [&] { return cublasSetMathMode(context, mode); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! CUBLAS math mode error\n", "cublasSetMathMode", status);
    }
    return stageSucceeded();
}

StageResult createEvents(cudaEvent_t* events, int count) {
    for (int index = 0; index < count; ++index) {
        const cudaError_t status = watchedCall("cudaEventCreate", [&] { return cudaEventCreate(&events[index]); });
        if (!librarySucceeded(status)) {
            return callFailed(kEventFailure, "cudaEventCreate", status);
        }
    }
    return stageSucceeded();
}

StageResult recordEvent(cudaEvent_t event) {
    const cudaError_t status = watchedCall("cudaEventRecord", [&] { return cudaEventRecord(event, nullptr); });
    if (!librarySucceeded(status)) {
        return callFailed(kEventFailure, "cudaEventRecord", status);
    }
    return stageSucceeded();
}

StageResult waitForEvent(cudaEvent_t event) {
    const cudaError_t status = watchedCall("cudaEventSynchronize", [&] { return cudaEventSynchronize(event); });
    if (!librarySucceeded(status)) {
        return callFailed(kEventFailure, "cudaEventSynchronize", status);
    }
    return stageSucceeded();
}

StageResult secondsBetweenEvents(cudaEvent_t start, cudaEvent_t end, double* seconds) {
    float milliseconds = 0.0f;
    const cudaError_t status =
        watchedCall("cudaEventElapsedTime", [&] { return cudaEventElapsedTime(&milliseconds, start, end); });
    if (!librarySucceeded(status)) {
        return callFailed(kEventFailure, "cudaEventElapsedTime", status);
    }
    *seconds = static_cast<double>(milliseconds) * kSecondsPerEventMillisecond;
    return stageSucceeded();
}

StageResult destroyEvents(cudaEvent_t* events, int count) {
    for (int index = 0; index < count; ++index) {
        if (events[index] == nullptr) {
            continue;
        }
        const cudaError_t status = watchedCall("cudaEventDestroy", [&] { return cudaEventDestroy(events[index]); });
        if (!librarySucceeded(status)) {
            return callFailed(kEventFailure, "cudaEventDestroy", status);
        }
        events[index] = nullptr;
    }
    return stageSucceeded();
}
