// Failures of GPU library calls, kept with the call's name and the status it returned, and the names of statuses.
#pragma once

#include "common/status.h"
#include "gpu/gpuLibrary.h"

// A stage's failure with its message, caused by the named CUDA runtime call returning status.
inline StageResult callFailed(const char* message, const char* call, cudaError_t status) {
    return callFailed(message, call, GpuLibrary::cudaRuntime, static_cast<int>(status));
}

// The same for a cuBLAS call.
inline StageResult callFailed(const char* message, const char* call, cublasStatus_t status) {
    return callFailed(message, call, GpuLibrary::cublas, static_cast<int>(status));
}

// The library's own name for a status of its (cudaErrorMemoryAllocation, CUBLAS_STATUS_EXECUTION_FAILED); null for
// GpuLibrary::none.
const char* libraryStatusName(GpuLibrary library, int status);
