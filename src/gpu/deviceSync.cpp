// The runtime's device-wide synchronisation, tested where it is called.
#include "gpu/deviceSync.h"

#include "gpu/callWatch.h"
#include "gpu/libraryFailure.h"

StageResult synchronizeDevice() {
    const cudaError_t status = watchedCall("cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); });
    if (!librarySucceeded(status)) {
        return callFailed("!!!! device synchronisation error\n", "cudaDeviceSynchronize", status);
    }
    return stageSucceeded();
}
