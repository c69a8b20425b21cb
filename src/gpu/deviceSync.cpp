// The runtime's device-wide synchronisation, tested where it is called.
#include "gpu/deviceSync.h"

#include "gpu/gpuLibrary.h"

StageResult synchronizeDevice() {
    if (!librarySucceeded(cudaDeviceSynchronize())) {
        return stageFailed("!!!! device synchronisation error\n");
    }
    return stageSucceeded();
}
