// The host stand-in's cuBLAS context, version and matrix copy operations.
#include <algorithm>
#include <cstring>

#include "gpu/emulated/emulatedInternal.h"

namespace {

// The argument checks cublasSetMatrix and cublasGetMatrix share.
bool copyArgumentsValid(int rows, int cols, int elemSize, const void* source, int sourceLd, const void* destination,
                        int destinationLd) {
    const int minimumLd = std::max(1, rows);
    return rows >= 0 && cols >= 0 && elemSize > 0 && sourceLd >= minimumLd && destinationLd >= minimumLd &&
           source != nullptr && destination != nullptr;
}

// Copies a rows x cols block column by column, writing only columns whose bytes differ; true when any did.
// Both blocks' spans must have been checked to fit in a size_t.
bool copyChangedColumns(int rows, int cols, int elemSize, const unsigned char* source, int sourceLd,
                        unsigned char* destination, int destinationLd) {
    if (sourceLd == rows && destinationLd == rows) {
        // Both blocks are contiguous: one comparison over the whole of them.
        const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * elemSize;
        if (std::memcmp(destination, source, bytes) == 0) {
            return false;
        }
        std::memmove(destination, source, bytes);
        return true;
    }
    const std::size_t columnBytes = static_cast<std::size_t>(rows) * elemSize;
    const std::size_t sourceStride = static_cast<std::size_t>(sourceLd) * elemSize;
    const std::size_t destinationStride = static_cast<std::size_t>(destinationLd) * elemSize;
    bool changed = false;
    for (int column = 0; column < cols; ++column) {
        const unsigned char* from = source + column * sourceStride;
        unsigned char* to = destination + column * destinationStride;
        if (std::memcmp(to, from, columnBytes) != 0) {
            std::memmove(to, from, columnBytes);
            changed = true;
        }
    }
    return changed;
}

}  // namespace

// Creates a context; a failed call leaves *handle as it was.
cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cublasCreate_v2).fails) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (handle == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    cublasContext* context = createContext();
    if (context == nullptr) {
        return CUBLAS_STATUS_ALLOC_FAILED;
    }
    *handle = context;
    return CUBLAS_STATUS_SUCCESS;
}

// Destroys a live context; a null, unknown or already destroyed handle is not initialised.
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cublasDestroy_v2).fails) {
        return CUBLAS_STATUS_INTERNAL_ERROR;
    }
    return destroyContext(handle) ? CUBLAS_STATUS_SUCCESS : CUBLAS_STATUS_NOT_INITIALIZED;
}

// Sets *version to kEmulatedCublasVersion; the handle may be null or a live context.
cublasStatus_t cublasGetVersion_v2(cublasHandle_t handle, int* version) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cublasGetVersion_v2).fails) {
        return CUBLAS_STATUS_INTERNAL_ERROR;
    }
    if (version == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (handle != nullptr && !contextIsLive(handle)) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    *version = kEmulatedCublasVersion;
    return CUBLAS_STATUS_SUCCESS;
}

// Uploads the column-major rows x cols block at host A (leading dimension lda) to device B (leading dimension
// ldb), which must lie inside one live device allocation. Bytes equal to those already there leave the
// allocation's content, and so its generation, as it was.
cublasStatus_t cublasSetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cublasSetMatrix).fails) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    if (!copyArgumentsValid(rows, cols, elemSize, A, lda, B, ldb)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (rows == 0 || cols == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    std::size_t hostBytes = 0;
    std::size_t deviceBytes = 0;
    if (!blockSpanBytes(rows, cols, elemSize, lda, &hostBytes) ||
        !blockSpanBytes(rows, cols, elemSize, ldb, &deviceBytes)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    DeviceAllocation* allocation = deviceAllocationHolding(B, deviceBytes);
    if (allocation == nullptr) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    if (copyChangedColumns(rows, cols, elemSize, static_cast<const unsigned char*>(A), lda,
                           static_cast<unsigned char*>(B), ldb)) {
        allocation->generation = freshGeneration();
    }
    return CUBLAS_STATUS_SUCCESS;
}

// Downloads the column-major rows x cols block at device A (leading dimension lda), which must lie inside one
// live device allocation, to host B (leading dimension ldb).
cublasStatus_t cublasGetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (takeCall(EmulatedOperation::cublasGetMatrix).fails) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    if (!copyArgumentsValid(rows, cols, elemSize, A, lda, B, ldb)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (rows == 0 || cols == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    std::size_t deviceBytes = 0;
    std::size_t hostBytes = 0;
    if (!blockSpanBytes(rows, cols, elemSize, lda, &deviceBytes) ||
        !blockSpanBytes(rows, cols, elemSize, ldb, &hostBytes)) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (deviceAllocationHolding(A, deviceBytes) == nullptr) {
        return CUBLAS_STATUS_MAPPING_ERROR;
    }
    // Skipping equal bytes matters: the benchmark reads back into a buffer that already holds the same product.
    if (copyChangedColumns(rows, cols, elemSize, static_cast<const unsigned char*>(A), lda,
                           static_cast<unsigned char*>(B), ldb)) {
        // A destination inside device memory has changed content there, which the SGEMM memo must see.
        stampOverlappingDeviceAllocations(B, hostBytes);
    }
    return CUBLAS_STATUS_SUCCESS;
}
