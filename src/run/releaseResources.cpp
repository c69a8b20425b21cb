// Release of the device matrices, the library context and the host matrices after a complete run.
#include "run/releaseResources.h"

StageResult releaseResources(RunState* state) {
    if (!librarySucceeded(cudaFree(state->device.devA))) {
        return stageFailed("!!!! memory free error (A)\n");
    }
    if (!librarySucceeded(cudaFree(state->device.devB))) {
        return stageFailed("!!!! memory free error (B)\n");
    }
    if (!librarySucceeded(cudaFree(state->device.devC))) {
        return stageFailed("!!!! memory free error (C)\n");
    }
    if (!librarySucceeded(cublasDestroy_v2(state->context))) {
        return stageFailed("!!!! shutdown error (A)\n");
    }
    cudaFreeHost(state->host.hostA);
    cudaFreeHost(state->host.hostB);
    cudaFreeHost(state->host.hostC);
    cudaFreeHost(state->host.hostRef);
    return stageSucceeded();
}
