// The library calls of one device round trip, each tested where it is made.
#include "gpu/deviceRoundTrip.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"

namespace {

constexpr int kElementSize = static_cast<int>(sizeof(float));

StageResult upload(MatrixShape shape, const float* hostMatrix, float* deviceMatrix, const char* failureMessage) {
    const cublasStatus_t status = watchedCall("cublasSetMatrix", [&] {
        return cublasSetMatrix(shape.order, shape.order, kElementSize, hostMatrix, shape.ld, deviceMatrix, shape.ld);
    });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cublasSetMatrix", status);
    }
    return stageSucceeded();
}

}  // namespace

StageResult allocateDevice(std::size_t bytes, const char* failureMessage, float** matrix) {
    void* memory = nullptr;
    const cudaError_t status = watchedCall("cudaMalloc", [&] { return cudaMalloc(&memory, bytes); });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cudaMalloc", status);
    }
    *matrix = static_cast<float*>(memory);
    return stageSucceeded();
}

StageResult allocateDeviceMatrices(MatrixShape shape, DeviceMatrices* device) {
    const std::size_t bytes = storedBytes(shape);
    StageResult result = allocateDevice(bytes, "!!!! device memory allocation error (A)\n", &device->devA);
    if (result.succeeded) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (B)\n", &device->devB);
    }
    if (result.succeeded) {
        result = allocateDevice(bytes, "!!!! device memory allocation error (C)\n", &device->devC);
    }
    return result;
}

StageResult uploadOperands(MatrixShape shape, const HostMatrices& host, const DeviceMatrices& device) {
    StageResult result = upload(shape, host.hostA, device.devA, "!!!! device access error (write A)\n");
    if (result.succeeded) {
        result = upload(shape, host.hostB, device.devB, "!!!! device access error (write B)\n");
    }
    if (result.succeeded) {
        result = upload(shape, host.hostC, device.devC, "!!!! device access error (write C)\n");
    }
    return result;
}

StageResult multiplyOnDevice(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                             const DeviceMatrices& device) {
    const int n = shape.order;
    const cublasStatus_t status = watchedCall("cublasSgemm_v2", [&] {
        return cublasSgemm_v2(context, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, alpha, device.devA, shape.ld, device.devB,
                              shape.ld, beta, device.devC, shape.ld);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! kernel execution error.\n", "cublasSgemm_v2", status);
    }
    return stageSucceeded();
}

StageResult downloadResult(MatrixShape shape, const DeviceMatrices& device, float* hostC) {
    const cublasStatus_t status = watchedCall("cublasGetMatrix", [&] {
        return cublasGetMatrix(shape.order, shape.order, kElementSize, device.devC, shape.ld, hostC, shape.ld);
    });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device access error (read C)\n", "cublasGetMatrix", status);
    }
    return stageSucceeded();
}

StageResult runRoundTrip(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                         const HostMatrices& host, const DeviceMatrices& device) {
    StageResult result = uploadOperands(shape, host, device);
    if (!result.succeeded) {
        return result;
    }
    result = multiplyOnDevice(context, alpha, beta, shape, device);
    if (!result.succeeded) {
        return result;
    }
    return downloadResult(shape, device, host.hostC);
}
