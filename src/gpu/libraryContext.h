// Creation of the cuBLAS context and the query of the library version, failing as kavrel-test fails.
#pragma once

#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Creates a cuBLAS context on the current device into context; fails with "!!!! CUBLAS initialization error\n".
StageResult createLibraryContext(cublasHandle_t* context);

// Reads the cuBLAS version (major * 10000 + minor * 100 + patch) through context into version; fails with
// "!!!! CUBLAS initialization error\n".
StageResult readLibraryVersion(cublasHandle_t context, int* version);
