// The check of the device result against the host reference by relative L2 error.
#pragma once

#include "common/status.h"

// Below this reference norm (compared in double precision) the relative error means nothing.
constexpr double kZeroNormThreshold = 1e-7;

// A result passes when its relative error is strictly below this float (9.99999997e-7).
constexpr float kPassThreshold = 1e-6f;

// The relative L2 error of result against reference, over elements floats each.
struct RelativeError {
    bool referenceNormIsZero;  // the reference norm is below kZeroNormThreshold; ratio is then 0
    float ratio;               // ||reference - result|| / ||reference||, NaN when result holds a NaN
};

// Sums (reference[i] - result[i])^2 and reference[i]^2 into single-precision accumulators,
// each product rounded before it is added, strictly in index order; takes both square roots
// in double precision and rounds them to float; divides in single precision.
RelativeError relativeL2Error(const float* result, const float* reference, int elements);

// Whether a ratio passes the check: strictly below kPassThreshold, so NaN fails.
bool relativeErrorPasses(float ratio);

// Compares hostC with hostRef over kMatrixElements and prints "PASSED" or "FAILED" on its
// own line. Fails with "!!!! reference norm is 0\n", printing nothing, when the reference
// norm is zero. A FAILED verdict is a success of the stage.
StageResult checkResult(const float* hostC, const float* hostRef);
