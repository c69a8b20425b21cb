// The cuBLAS context and version calls, each tested where it is made.
#include "gpu/libraryContext.h"

namespace {

constexpr const char* kInitializationError = "!!!! CUBLAS initialization error\n";

}  // namespace

StageResult createLibraryContext(cublasHandle_t* context) {
    if (!librarySucceeded(cublasCreate_v2(context))) {
        return stageFailed(kInitializationError);
    }
    return stageSucceeded();
}

StageResult readLibraryVersion(cublasHandle_t context, int* version) {
    if (!librarySucceeded(cublasGetVersion_v2(context, version))) {
        return stageFailed(kInitializationError);
    }
    return stageSucceeded();
}
