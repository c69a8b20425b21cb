// Everything one run owns: the library context, the host and device matrices, their shape, and the scalars.
#pragma once

#include "common/matrix.h"
#include "gpu/gpuLibrary.h"

struct RunState {
    cublasHandle_t context = nullptr;  // null until cublasCreate_v2 sets it
    int version = 0;                   // receives the library version
    MatrixShape shape = kTestMatrixShape;
    HostMatrices host;
    DeviceMatrices device;
    // Fixed for the whole run; the device SGEMM reads them through their addresses.
    float alpha = 1.0f;
    float beta = 0.0f;
};
