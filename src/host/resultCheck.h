// The check of the device result against the host reference by relative L2 error.
#pragma once

#include "common/matrix.h"
#include "common/status.h"

// Below this reference norm (compared in double precision) the relative error means nothing.
constexpr double kZeroNormThreshold = 1e-7;

// A result passes when its relative error is strictly below this float (9.99999997e-7).
constexpr float kPassThreshold = 1e-6f;

// The relative L2 error of result against reference.
struct RelativeError {
    bool referenceNormIsZero;  // the reference norm is below kZeroNormThreshold; ratio is then 0
    float ratio;               // ||reference - result|| / ||reference||, NaN when result holds a NaN
};

// Over the order x order elements of the shape, column by column and down each column (by linear index when ld
// equals the order), sums (reference - result)^2 and reference^2 into single-precision accumulators, each
// product rounded before it is added; takes both square roots in double precision and rounds them to float;
// divides in single precision.
RelativeError relativeL2Error(MatrixShape shape, const float* result, const float* reference);

// Whether a ratio passes the check: strictly below kPassThreshold, so NaN fails.
bool relativeErrorPasses(float ratio);

// What the check concluded about a result whose reference norm is not zero.
enum class Verdict { passed, failed };

// "PASSED" or "FAILED".
const char* verdictText(Verdict verdict);

// Compares hostC with hostRef and sets verdict. Fails with "!!!! reference norm is 0\n", leaving verdict as it
// was, when the reference norm is zero. A failed verdict is a success of the stage.
StageResult checkResult(MatrixShape shape, const float* hostC, const float* hostRef, Verdict* verdict);
