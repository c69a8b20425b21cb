// The host stand-in's cuBLAS contexts and its context, version and matrix copy operations.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <set>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// Contexts cublasCreate_v2 handed out and cublasDestroy_v2 has not yet released; guarded by the registry lock and
// never destroyed, as the memory registries are not.
std::set<cublasContext*>& liveContexts() {
    static auto* contexts = new std::set<cublasContext*>;
    return *contexts;
}

// How a copy treats the bytes already in its destination.
enum class CopyMode {
    changedOnly,    // compares each column and writes only those that differ
    compareAndAll,  // compares each column, to tell whether any differs, and writes them all
    all,            // writes every column without looking at what was there
};

// Copies a rows x cols block column by column as mode says; true when any byte of the destination is known to have
// changed (never for CopyMode::all). Both blocks' spans must have been checked to fit in a size_t.
bool copyColumns(int rows, int cols, int elemSize, const void* source, int sourceLd, void* destination,
                 int destinationLd, CopyMode mode) {
    // Two contiguous blocks are compared as one column, in one call.
    const bool contiguous = sourceLd == rows && destinationLd == rows;
    const std::size_t columnBytes = static_cast<std::size_t>(rows) * elemSize * (contiguous ? cols : 1);
    const std::size_t sourceStride = static_cast<std::size_t>(sourceLd) * elemSize;
    const std::size_t destinationStride = static_cast<std::size_t>(destinationLd) * elemSize;
    bool changed = false;
    for (int column = 0; column < (contiguous ? 1 : cols); ++column) {
        const unsigned char* from = static_cast<const unsigned char*>(source) + column * sourceStride;
        unsigned char* to = static_cast<unsigned char*>(destination) + column * destinationStride;
        const bool differs = mode != CopyMode::all && std::memcmp(to, from, columnBytes) != 0;
        if (differs || mode != CopyMode::changedOnly) {
            std::memmove(to, from, columnBytes);
        }
        changed = changed || differs;
    }
    return changed;
}

// cublasSetMatrix (operation cublasSetMatrix: A on the host, B on the device) and cublasGetMatrix (A on the device,
// B on the host) on a column-major rows x cols block, on the current device, whose memory the device side must lie
// in and the host side must not touch any other device's. A copy waits for the device's queued work, as a copy on
// the default stream does. A download writes every byte of its destination, as a GPU's DMA does, so that a program
// reading a buffer while a download lands in it races as it would on a GPU; an upload writes only bytes that differ,
// since device memory is read by nothing but the stand-in. The epochs move when device bytes change: an upload's
// destination, or a download's destination where it overlaps device memory.
cublasStatus_t copyMatrix(EmulatedOperation operation, int rows, int cols, int elemSize, const void* A, int lda,
                          void* B, int ldb) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> deviceLock(state.mutex);
    if (takeCall(deviceLock, state, operation).fails) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    const int minimumLd = std::max(1, rows);
    if (rows < 0 || cols < 0 || elemSize <= 0 || lda < minimumLd || ldb < minimumLd || A == nullptr || B == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (rows == 0 || cols == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    std::size_t sourceBytes = 0;
    std::size_t destinationBytes = 0;
    if (!blockSpanBytes(rows, cols, elemSize, lda, &sourceBytes) ||
        !blockSpanBytes(rows, cols, elemSize, ldb, &destinationBytes)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const bool upload = operation == EmulatedOperation::cublasSetMatrix;
    const DeviceOverlap hostSide =
        upload ? overlapDeviceMemory(device, A, sourceBytes) : overlapDeviceMemory(device, B, destinationBytes);
    if ((upload ? !insideDeviceMemory(device, B, destinationBytes) : !insideDeviceMemory(device, A, sourceBytes)) ||
        hostSide.other) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    runPendingWork(state);
    const auto start = std::chrono::steady_clock::now();
    // Only a destination in device memory needs its old bytes compared, to tell whether its epoch moves.
    const CopyMode mode = upload ? CopyMode::changedOnly : hostSide.device ? CopyMode::compareAndAll : CopyMode::all;
    const bool changed = copyColumns(rows, cols, elemSize, A, lda, B, ldb, mode);
    stretchWork(state, start);
    // The benchmark uploads the same operands and reads the same product back into host memory on every
    // iteration; neither may move an epoch, or every iteration would recompute the product.
    if (changed && (upload || hostSide.device)) {
        markDeviceBytesChanged(B, destinationBytes);
        ++state.epoch;
    }
    return CUBLAS_STATUS_SUCCESS;
}

}  // namespace

int contextDevice(cublasHandle_t handle) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return liveContexts().count(handle) != 0 ? handle->device : -1;
}

void releaseContexts() {
    for (cublasContext* context : liveContexts()) {
        delete context;
    }
    liveContexts().clear();
}

long emulatedLiveContexts() {
    std::lock_guard<std::mutex> lock(registryMutex());
    return static_cast<long>(liveContexts().size());
}

// Creates a context on the current device; a failed call leaves *handle as it was.
cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
    const int device = currentDevice();
    {
        DeviceState& state = deviceState(device);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cublasCreate_v2).fails) {
            return CUBLAS_STATUS_NOT_INITIALIZED;
        }
    }
    if (handle == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    cublasContext* context = new (std::nothrow) cublasContext{device};
    if (context == nullptr) {
        return CUBLAS_STATUS_ALLOC_FAILED;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    liveContexts().insert(context);
    *handle = context;
    return CUBLAS_STATUS_SUCCESS;
}

// Waits for the current device's queued work, then destroys a live context of that device; a null, unknown or
// already destroyed handle, or one of another device, is not initialised.
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::unique_lock<std::mutex> deviceLock(state.mutex);
    if (takeCall(deviceLock, state, EmulatedOperation::cublasDestroy_v2).fails) {
        return CUBLAS_STATUS_INTERNAL_ERROR;
    }
    if (contextDevice(handle) != device) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    runPendingWork(state);
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        if (liveContexts().erase(handle) == 0) {
            return CUBLAS_STATUS_NOT_INITIALIZED;
        }
    }
    delete handle;
    return CUBLAS_STATUS_SUCCESS;
}

// Sets *version to kEmulatedCublasVersion; the handle may be null or a live context of the current device.
cublasStatus_t cublasGetVersion_v2(cublasHandle_t handle, int* version) {
    const int device = currentDevice();
    {
        DeviceState& state = deviceState(device);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (takeCall(lock, state, EmulatedOperation::cublasGetVersion_v2).fails) {
            return CUBLAS_STATUS_INTERNAL_ERROR;
        }
    }
    if (version == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (handle != nullptr && contextDevice(handle) != device) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    *version = kEmulatedCublasVersion;
    return CUBLAS_STATUS_SUCCESS;
}

// Uploads host A (leading dimension lda) to device B (leading dimension ldb), which must lie inside one live
// allocation of the current device.
cublasStatus_t cublasSetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
    return copyMatrix(EmulatedOperation::cublasSetMatrix, rows, cols, elemSize, A, lda, B, ldb);
}

// Downloads device A (leading dimension lda), which must lie inside one live allocation of the current device, to
// host B (leading dimension ldb).
cublasStatus_t cublasGetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
    return copyMatrix(EmulatedOperation::cublasGetMatrix, rows, cols, elemSize, A, lda, B, ldb);
}

const char* cublasGetStatusName(cublasStatus_t status) {
    switch (status) {
        case CUBLAS_STATUS_SUCCESS:
            return "CUBLAS_STATUS_SUCCESS";
        case CUBLAS_STATUS_NOT_INITIALIZED:
            return "CUBLAS_STATUS_NOT_INITIALIZED";
        case CUBLAS_STATUS_ALLOC_FAILED:
            return "CUBLAS_STATUS_ALLOC_FAILED";
        case CUBLAS_STATUS_INVALID_VALUE:
            return "CUBLAS_STATUS_INVALID_VALUE";
        case CUBLAS_STATUS_MAPPING_ERROR:
            return "CUBLAS_STATUS_MAPPING_ERROR";
        case CUBLAS_STATUS_EXECUTION_FAILED:
            return "CUBLAS_STATUS_EXECUTION_FAILED";
        case CUBLAS_STATUS_INTERNAL_ERROR:
            return "CUBLAS_STATUS_INTERNAL_ERROR";
        case CUBLAS_STATUS_NOT_SUPPORTED:
            return "CUBLAS_STATUS_NOT_SUPPORTED";
    }
    return "CUBLAS_STATUS_UNKNOWN";
}
