// The steps of one device round trip (upload, SGEMM, download) and the device matrices they use.
//
// Each step calls the GPU libraries, tests every status where it is returned, and maps a
// failure to its one fixed message. The timed loop and any other driver of round trips
// are built from these, so every caller does exactly the same library calls. Every matrix
// has the given shape: order x order, column-major, with the shape's leading dimension on
// both the host and the device.
#pragma once

#include <cstddef>

#include "common/matrix.h"
#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Allocates devA, devB and devC, in that order, storedBytes(shape) each. On failure the matrices
// allocated before it stay allocated and set in device.
StageResult allocateDeviceMatrices(MatrixShape shape, DeviceMatrices* device);

// Allocates bytes of device memory into matrix; fails with failureMessage, naming cudaMalloc and its status.
StageResult allocateDevice(std::size_t bytes, const char* failureMessage, float** matrix);

// Uploads hostA, hostB and hostC to devA, devB and devC, in that order.
StageResult uploadOperands(MatrixShape shape, const HostMatrices& host, const DeviceMatrices& device);

// devC := alpha * devA * devB + beta * devC on the device, no transposes, m = n = k = the order, all
// leading dimensions the shape's; alpha and beta are read through host pointers.
StageResult multiplyOnDevice(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                             const DeviceMatrices& device);

// Downloads devC into hostC; hostC holds the device result when this returns.
StageResult downloadResult(MatrixShape shape, const DeviceMatrices& device, float* hostC);

// One full round trip: uploadOperands, multiplyOnDevice, downloadResult; the first failure
// ends it.
StageResult runRoundTrip(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                         const HostMatrices& host, const DeviceMatrices& device);
