// Allocation and fill of the four page-locked test matrices.
#include "host/testMatrices.h"

#include "gpu/gpuLibrary.h"
#include "host/testRandom.h"

namespace {

// Page-locked allocation of one matrix; a null pointer counts as a failure too, because the
// fill would write through it.
bool allocatePageLocked(float** matrix) {
    void* memory = nullptr;
    const cudaError_t status = cudaHostAlloc(&memory, kMatrixBytes, cudaHostAllocDefault);
    if (!librarySucceeded(status) || memory == nullptr) {
        return false;
    }
    *matrix = static_cast<float*>(memory);
    return true;
}

}  // namespace

void fillTestData(float* hostA, float* hostB, float* hostC, float* hostRef) {
    std::uint32_t state = kTestRandomInitialState;
    for (int i = 0; i < kMatrixElements; ++i) {
        hostA[i] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
        hostB[i] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
        hostC[i] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
        hostRef[i] = hostC[i];
    }
}

StageResult fillTestMatrices(HostMatrices* host) {
    if (!allocatePageLocked(&host->hostA)) {
        return stageFailed("!!!! host memory allocation error (A)\n");
    }
    if (!allocatePageLocked(&host->hostB)) {
        return stageFailed("!!!! host memory allocation error (B)\n");
    }
    if (!allocatePageLocked(&host->hostC)) {
        return stageFailed("!!!! host memory allocation error (C)\n");
    }
    if (!allocatePageLocked(&host->hostRef)) {
        return stageFailed("!!!! host memory allocation error (reference)\n");
    }
    fillTestData(host->hostA, host->hostB, host->hostC, host->hostRef);
    return stageSucceeded();
}
