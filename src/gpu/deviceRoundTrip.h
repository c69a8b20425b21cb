// The steps of one device round trip (upload, SGEMM, download) and the device matrices they use.
//
// Each step calls the GPU libraries, tests every status where it is returned, and maps a
// failure to its one fixed message. The timed loop and any other driver of round trips
// are built from these, so every caller does exactly the same library calls.
#pragma once

#include "common/matrix.h"
#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Allocates devA, devB and devC, in that order, kMatrixBytes each. On failure the matrices
// allocated before it stay allocated and set in device.
StageResult allocateDeviceMatrices(DeviceMatrices* device);

// Uploads hostA, hostB and hostC to devA, devB and devC, in that order, each a full
// kMatrixOrder x kMatrixOrder column-major copy with leading dimension kMatrixOrder.
StageResult uploadOperands(const HostMatrices& host, const DeviceMatrices& device);

// devC := alpha * devA * devB + beta * devC on the device, no transposes, m = n = k =
// kMatrixOrder, all leading dimensions kMatrixOrder; alpha and beta are read through
// host pointers.
StageResult multiplyOnDevice(cublasHandle_t context, const float* alpha, const float* beta,
                             const DeviceMatrices& device);

// Downloads devC into hostC; hostC holds the device result when this returns.
StageResult downloadResult(const DeviceMatrices& device, float* hostC);

// One full round trip: uploadOperands, multiplyOnDevice, downloadResult; the first failure
// ends it.
StageResult runRoundTrip(cublasHandle_t context, const float* alpha, const float* beta, const HostMatrices& host,
                         const DeviceMatrices& device);
