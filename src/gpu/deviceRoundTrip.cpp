// The library calls of one device round trip, each tested where it is made.
#include "gpu/deviceRoundTrip.h"

namespace {

constexpr int kElementSize = static_cast<int>(sizeof(float));

bool allocateDevice(std::size_t bytes, float** matrix) {
    void* memory = nullptr;
    if (!librarySucceeded(cudaMalloc(&memory, bytes))) {
        return false;
    }
    *matrix = static_cast<float*>(memory);
    return true;
}

bool upload(MatrixShape shape, const float* hostMatrix, float* deviceMatrix) {
    return librarySucceeded(
        cublasSetMatrix(shape.order, shape.order, kElementSize, hostMatrix, shape.ld, deviceMatrix, shape.ld));
}

}  // namespace

StageResult allocateDeviceMatrices(MatrixShape shape, DeviceMatrices* device) {
    const std::size_t bytes = storedBytes(shape);
    if (!allocateDevice(bytes, &device->devA)) {
        return stageFailed("!!!! device memory allocation error (A)\n");
    }
    if (!allocateDevice(bytes, &device->devB)) {
        return stageFailed("!!!! device memory allocation error (B)\n");
    }
    if (!allocateDevice(bytes, &device->devC)) {
        return stageFailed("!!!! device memory allocation error (C)\n");
    }
    return stageSucceeded();
}

StageResult uploadOperands(MatrixShape shape, const HostMatrices& host, const DeviceMatrices& device) {
    if (!upload(shape, host.hostA, device.devA)) {
        return stageFailed("!!!! device access error (write A)\n");
    }
    if (!upload(shape, host.hostB, device.devB)) {
        return stageFailed("!!!! device access error (write B)\n");
    }
    if (!upload(shape, host.hostC, device.devC)) {
        return stageFailed("!!!! device access error (write C)\n");
    }
    return stageSucceeded();
}

StageResult multiplyOnDevice(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                             const DeviceMatrices& device) {
    const int n = shape.order;
    const cublasStatus_t status = cublasSgemm_v2(context, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, alpha, device.devA,
                                                 shape.ld, device.devB, shape.ld, beta, device.devC, shape.ld);
    if (!librarySucceeded(status)) {
        return stageFailed("!!!! kernel execution error.\n");
    }
    return stageSucceeded();
}

StageResult downloadResult(MatrixShape shape, const DeviceMatrices& device, float* hostC) {
    const cublasStatus_t status =
        cublasGetMatrix(shape.order, shape.order, kElementSize, device.devC, shape.ld, hostC, shape.ld);
    if (!librarySucceeded(status)) {
        return stageFailed("!!!! device access error (read C)\n");
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
