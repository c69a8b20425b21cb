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

// The threshold of kavrel-bench's check of a product of order n (the inner dimension k of every sum) against the
// host reference, for test data in [0, 1] as fillTestData makes it:
//
// - Single precision: kPassThreshold up to kavrel-test's order, then kPassThreshold * sqrt(n / kMatrixOrder). The
//   reference adds its rounded products one after the other, so its own rounding error is a random walk of n steps
//   whose relative size grows as sqrt(n) (measured against double precision: 4.3e-7 at n = 1000, 8.7e-7 at 4096,
//   1.2e-6 at 8192); a GPU's blocked sums err less. Growing the threshold with it keeps, at every order, the margin
//   of about two it has at kavrel-test's order, where a fixed 1e-6 would fail correct GPUs from about n = 5000.
// - TF32 (tf32): each input keeps 10 of its 23 fraction bits, so each is off by at most 2^-10 of itself (when the
//   conversion truncates; 2^-11 when it rounds), each product by at most 2 * 2^-10, and with every term non-negative
//   the whole sum by at most that share too; the sums in single precision add at most n * 2^-23 (a worst case for
//   any order of additions, truncating or not) and the reference's at most n * 2^-24. Their total,
//   2^-9 + 3n * 2^-24, bounds the relative error of every element and so the relative L2 error (2.1e-3 at n = 1000,
//   2.7e-3 at 4096). Bit-for-bit repeatability is checked as strictly as in single precision.
float relativeErrorThreshold(int order, bool tf32);

// Whether a ratio passes a threshold: strictly below it, so NaN fails.
bool relativeErrorPasses(float ratio, float threshold);

// What the check concluded about a result whose reference norm is not zero.
enum class Verdict { passed, failed };

// "PASSED" or "FAILED".
const char* verdictText(Verdict verdict);

// Compares hostC with hostRef and sets verdict. Fails with "!!!! reference norm is 0\n", leaving verdict as it
// was, when the reference norm is zero. A failed verdict is a success of the stage.
StageResult checkResult(MatrixShape shape, const float* hostC, const float* hostRef, Verdict* verdict);
