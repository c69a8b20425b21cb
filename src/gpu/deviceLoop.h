// The timed device SGEMM loop: the benchmark proper.
#pragma once

#include "common/matrix.h"
#include "common/status.h"
#include "gpu/gpuLibrary.h"

// Allocates devA, devB and devC into device, then times iterations round trips of upload A, B, C,
// SGEMM (devC := alpha * devA * devB + beta * devC) and download of devC into hostC with the
// calendar clock, and sets elapsedSeconds to the whole seconds the loop took. Leaves the last device
// product in hostC. The first failing call ends the stage with its message, leaving elapsedSeconds as
// it was; nothing allocated is released on that path. Prints nothing.
StageResult runDeviceLoop(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                          const HostMatrices& host, DeviceMatrices* device, int iterations, double* elapsedSeconds);
