// Status names from the libraries themselves, so that a report names a status as the library's documentation does.
#include "gpu/libraryFailure.h"

const char* libraryStatusName(GpuLibrary library, int status) {
    switch (library) {
        case GpuLibrary::cudaRuntime:
            return cudaGetErrorName(static_cast<cudaError_t>(status));
        case GpuLibrary::cublas:
            return cublasGetStatusName(static_cast<cublasStatus_t>(status));
        case GpuLibrary::none:
            break;
    }
    return nullptr;
}
