// The cuBLAS context and version calls, each tested where it is made.
#include "gpu/libraryContext.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"

namespace {

constexpr const char* kInitializationError = "!!!! CUBLAS initialization error\n";

}  // namespace

StageResult createLibraryContext(cublasHandle_t* context) {
    const cublasStatus_t status = watchedCall("cublasCreate_v2", [&] { return cublasCreate_v2(context); });
    if (!librarySucceeded(status)) {
        return callFailed(kInitializationError, "cublasCreate_v2", status);
    }
    return stageSucceeded();
}

StageResult readLibraryVersion(cublasHandle_t context, int* version) {
    const cublasStatus_t status =
        watchedCall("cublasGetVersion_v2", [&] { return cublasGetVersion_v2(context, version); });
    if (!librarySucceeded(status)) {
        return callFailed(kInitializationError, "cublasGetVersion_v2", status);
    }
    return stageSucceeded();
}
