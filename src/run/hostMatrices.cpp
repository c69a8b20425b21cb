// Page-locked allocation of the four host matrices, followed by their fill.
#include "run/hostMatrices.h"

#include "gpu/gpuLibrary.h"
#include "host/testMatrices.h"

namespace {

// Page-locked allocation of one matrix; a null pointer counts as a failure too, because the
// fill would write through it.
bool allocatePageLocked(std::size_t bytes, float** matrix) {
    void* memory = nullptr;
    const cudaError_t status = cudaHostAlloc(&memory, bytes, cudaHostAllocDefault);
    if (!librarySucceeded(status) || memory == nullptr) {
        return false;
    }
    *matrix = static_cast<float*>(memory);
    return true;
}

}  // namespace

StageResult fillTestMatrices(MatrixShape shape, HostMatrices* host) {
    const std::size_t bytes = storedBytes(shape);
    if (!allocatePageLocked(bytes, &host->hostA)) {
        return stageFailed("!!!! host memory allocation error (A)\n");
    }
    if (!allocatePageLocked(bytes, &host->hostB)) {
        return stageFailed("!!!! host memory allocation error (B)\n");
    }
    if (!allocatePageLocked(bytes, &host->hostC)) {
        return stageFailed("!!!! host memory allocation error (C)\n");
    }
    if (!allocatePageLocked(bytes, &host->hostRef)) {
        return stageFailed("!!!! host memory allocation error (reference)\n");
    }
    fillTestData(shape, host->hostA, host->hostB, host->hostC, host->hostRef);
    return stageSucceeded();
}
