// The timed device SGEMM loop: the benchmark proper.
#pragma once

#include "common/matrix.h"
#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Round trips in one timed loop.
constexpr int kDeviceIterations = 10000;

// Allocates devA, devB and devC into device, then times kDeviceIterations round trips of
// upload A, B, C, SGEMM (devC := alpha * devA * devB + beta * devC) and download of devC
// into hostC with the calendar clock, and prints "GPU: %lf\n" with the elapsed whole
// seconds. Leaves the last device product in hostC. The first failing call ends the stage
// with its message and no time line; nothing allocated is released on that path.
StageResult runDeviceLoop(cublasHandle_t context, const float* alpha, const float* beta, const HostMatrices& host,
                          DeviceMatrices* device);
