// The library calls of one device round trip, each tested where it is made.
#include "gpu/deviceRoundTrip.h"

namespace {

constexpr int kElementSize = static_cast<int>(sizeof(float));

bool allocateDevice(float** matrix) {
    void* memory = nullptr;
    if (!librarySucceeded(cudaMalloc(&memory, kMatrixBytes))) {
        return false;
    }
    *matrix = static_cast<float*>(memory);
    return true;
}

bool upload(const float* hostMatrix, float* deviceMatrix) {
    return librarySucceeded(cublasSetMatrix(kMatrixOrder, kMatrixOrder, kElementSize, hostMatrix, kMatrixOrder,
                                            deviceMatrix, kMatrixOrder));
}

}  // namespace

StageResult allocateDeviceMatrices(DeviceMatrices* device) {
    if (!allocateDevice(&device->devA)) {
        return stageFailed("!!!! device memory allocation error (A)\n");
    }
    if (!allocateDevice(&device->devB)) {
        return stageFailed("!!!! device memory allocation error (B)\n");
    }
    if (!allocateDevice(&device->devC)) {
        return stageFailed("!!!! device memory allocation error (C)\n");
    }
    return stageSucceeded();
}

StageResult uploadOperands(const HostMatrices& host, const DeviceMatrices& device) {
    if (!upload(host.hostA, device.devA)) {
        return stageFailed("!!!! device access error (write A)\n");
    }
    if (!upload(host.hostB, device.devB)) {
        return stageFailed("!!!! device access error (write B)\n");
    }
    if (!upload(host.hostC, device.devC)) {
        return stageFailed("!!!! device access error (write C)\n");
    }
    return stageSucceeded();
}

StageResult multiplyOnDevice(cublasHandle_t context, const float* alpha, const float* beta,
                             const DeviceMatrices& device) {
    const cublasStatus_t status =
        cublasSgemm_v2(context, CUBLAS_OP_N, CUBLAS_OP_N, kMatrixOrder, kMatrixOrder, kMatrixOrder, alpha, device.devA,
                       kMatrixOrder, device.devB, kMatrixOrder, beta, device.devC, kMatrixOrder);
    if (!librarySucceeded(status)) {
        return stageFailed("!!!! kernel execution error.\n");
    }
    return stageSucceeded();
}

StageResult downloadResult(const DeviceMatrices& device, float* hostC) {
    const cublasStatus_t status =
        cublasGetMatrix(kMatrixOrder, kMatrixOrder, kElementSize, device.devC, kMatrixOrder, hostC, kMatrixOrder);
    if (!librarySucceeded(status)) {
        return stageFailed("!!!! device access error (read C)\n");
    }
    return stageSucceeded();
}

StageResult runRoundTrip(cublasHandle_t context, const float* alpha, const float* beta, const HostMatrices& host,
                         const DeviceMatrices& device) {
    StageResult result = uploadOperands(host, device);
    if (!result.succeeded) {
        return result;
    }
    result = multiplyOnDevice(context, alpha, beta, device);
    if (!result.succeeded) {
        return result;
    }
    return downloadResult(device, host.hostC);
}
