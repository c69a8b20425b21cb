// Page-locked allocation of the four host matrices, followed by their fill.
#include "run/hostMatrices.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"
#include "host/testMatrices.h"

StageResult allocatePageLockedMatrix(MatrixShape shape, const char* failureMessage, float** buffer) {
    void* memory = nullptr;
    const cudaError_t status =
        watchedCall("cudaHostAlloc", [&] { return cudaHostAlloc(&memory, storedBytes(shape), cudaHostAllocDefault); });
    if (!librarySucceeded(status)) {
        return callFailed(failureMessage, "cudaHostAlloc", status);
    }
    // A null pointer counts as a failure too, because the fill would write through it.
    if (memory == nullptr) {
        return stageFailed(failureMessage);
    }
    *buffer = static_cast<float*>(memory);
    return stageSucceeded();
}

void freePageLockedMatrix(float* buffer) {
    watchedCall("cudaFreeHost", [&] { return cudaFreeHost(buffer); });
}

StageResult fillTestMatrices(MatrixShape shape, HostMatrices* host) {
    StageResult result = allocatePageLockedMatrix(shape, "!!!! host memory allocation error (A)\n", &host->hostA);
    if (result.succeeded) {
        result = allocatePageLockedMatrix(shape, "!!!! host memory allocation error (B)\n", &host->hostB);
    }
    if (result.succeeded) {
        result = allocatePageLockedMatrix(shape, "!!!! host memory allocation error (C)\n", &host->hostC);
    }
    if (result.succeeded) {
        result = allocatePageLockedMatrix(shape, "!!!! host memory allocation error (reference)\n", &host->hostRef);
    }
    if (result.succeeded) {
        fillTestData(shape, host->hostA, host->hostB, host->hostC, host->hostRef);
    }
    return result;
}
