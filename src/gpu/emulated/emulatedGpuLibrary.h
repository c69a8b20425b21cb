// The host stand-in's declarations of the CUDA runtime and cuBLAS operations the program uses.
//
// Names, argument lists and status values follow the real libraries, so program code built
// against this header is the same code that is built against the toolkit's own headers.
// Device memory is host memory owned and tracked by the stand-in; see emulatedControl.h for
// the test-only control surface (fault injection, allocation counts).
#pragma once

#include <cstddef>

extern "C" {

// CUDA runtime status; only the values the stand-in returns are listed.
typedef enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorUnknown = 999,
} cudaError_t;

#define cudaHostAllocDefault 0x00

// A device's 16-byte unique identifier, as the runtime's own type.
struct CUuuid_st {
    char bytes[16];
};
typedef struct CUuuid_st cudaUUID_t;

// Device properties: only the fields the stand-in fills, named as in the runtime's own struct.
struct cudaDeviceProp {
    char name[256];
    cudaUUID_t uuid;
    int major;
    int minor;
    int multiProcessorCount;
    int pciBusID;
    int pciDeviceID;
    int pciDomainID;
};

// Streams and events are opaque handles, as in the runtime; only the default stream (null) is modelled.
typedef struct CUstream_st* cudaStream_t;
typedef struct CUevent_st* cudaEvent_t;

// cuBLAS status, with the real library's values.
typedef enum {
    CUBLAS_STATUS_SUCCESS = 0,
    CUBLAS_STATUS_NOT_INITIALIZED = 1,
    CUBLAS_STATUS_ALLOC_FAILED = 3,
    CUBLAS_STATUS_INVALID_VALUE = 7,
    CUBLAS_STATUS_MAPPING_ERROR = 11,
    CUBLAS_STATUS_EXECUTION_FAILED = 13,
    CUBLAS_STATUS_INTERNAL_ERROR = 14,
    CUBLAS_STATUS_NOT_SUPPORTED = 15,
} cublasStatus_t;

typedef enum {
    CUBLAS_OP_N = 0,
    CUBLAS_OP_T = 1,
    CUBLAS_OP_C = 2,
} cublasOperation_t;

// Where scalars passed by pointer live: alpha and beta, and a reduction's result.
typedef enum { CUBLAS_POINTER_MODE_HOST = 0, CUBLAS_POINTER_MODE_DEVICE = 1 } cublasPointerMode_t;

// The arithmetic SGEMM may use; the stand-in models the default and TF32 tensor-op math.
typedef enum {
    CUBLAS_DEFAULT_MATH = 0,
    CUBLAS_TENSOR_OP_MATH = 1,
    CUBLAS_PEDANTIC_MATH = 2,
    CUBLAS_TF32_TENSOR_OP_MATH = 3,
    CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION = 16,
} cublasMath_t;

struct cublasContext;
typedef struct cublasContext* cublasHandle_t;

// CUDA runtime: memory.
cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);

// CUDA runtime: devices.
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetPCIBusId(char* pciBusId, int len, int device);
cudaError_t cudaDeviceSynchronize(void);

// CUDA runtime: events on the default stream.
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

// CUDA runtime: the name of a status, as the runtime spells it ("cudaErrorMemoryAllocation").
const char* cudaGetErrorName(cudaError_t error);

// cuBLAS v2: the name of a status ("CUBLAS_STATUS_EXECUTION_FAILED"); context, version, copies and SGEMM, whose
// alpha and beta are read through host or device pointers as the context's pointer mode says.
const char* cublasGetStatusName(cublasStatus_t status);
cublasStatus_t cublasCreate_v2(cublasHandle_t* handle);
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle);
cublasStatus_t cublasGetVersion_v2(cublasHandle_t handle, int* version);
cublasStatus_t cublasSetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb);
cublasStatus_t cublasGetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb);
cublasStatus_t cublasSgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const float* alpha, const float* A, int lda, const float* B, int ldb,
                              const float* beta, float* C, int ldc);

// cuBLAS v2: a context's pointer mode and math mode.
cublasStatus_t cublasSetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t mode);
cublasStatus_t cublasSetMathMode(cublasHandle_t handle, cublasMath_t mode);

// cuBLAS v2 level 1: y := x, y := alpha * x + y, and the sum of |x|.
cublasStatus_t cublasScopy_v2(cublasHandle_t handle, int n, const float* x, int incx, float* y, int incy);
cublasStatus_t cublasSaxpy_v2(cublasHandle_t handle, int n, const float* alpha, const float* x, int incx, float* y,
                              int incy);
cublasStatus_t cublasSasum_v2(cublasHandle_t handle, int n, const float* x, int incx, float* result);

}  // extern "C"
