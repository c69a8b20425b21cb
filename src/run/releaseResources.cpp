// Release of the device matrices, the library context and the host matrices after a complete run.
#include "run/releaseResources.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"
#include "run/hostMatrices.h"

namespace {

StageResult freeDevice(float* matrix, const char* failureMessage) {
    const cudaError_t status = watchedCall("cudaFree", [&] { return cudaFree(matrix); });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cudaFree", status);
    }
    return stageSucceeded();
}

}  // namespace

StageResult releaseResources(RunState* state) {
    StageResult result = freeDevice(state->device.devA, "!!!! memory free error (A)\n");
    if (result.succeeded) {
        result = freeDevice(state->device.devB, "!!!! memory free error (B)\n");
    }
    if (result.succeeded) {
        result = freeDevice(state->device.devC, "!!!! memory free error (C)\n");
    }
    if (!result.succeeded) {
        return result;
    }
    const cublasStatus_t status = watchedCall("cublasDestroy_v2", [&] { return cublasDestroy_v2(state->context); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! shutdown error (A)\n", "cublasDestroy_v2", status);
    }
    freePageLockedMatrix(state->host.hostA);
    freePageLockedMatrix(state->host.hostB);
    freePageLockedMatrix(state->host.hostC);
    freePageLockedMatrix(state->host.hostRef);
    return stageSucceeded();
}
