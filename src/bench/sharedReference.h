// The host reference product kavrel-bench checks every device against, computed once on every host core.
#pragma once

#include <memory>

#include "common/matrix.h"

namespace bench {

// referenceSgemm of the shape split by columns over threads host threads (at least 1), each on its own columns;
// the bits are those of one call over the whole matrix.
void parallelReferenceSgemm(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C,
                            int threads);

// Fills the test data of the shape and returns the reference product alpha * A * B + beta * C of it, computed on
// every host core; null when the host memory for it is not there.
std::unique_ptr<float[]> computeSharedReference(MatrixShape shape, float alpha, float beta);

}  // namespace bench
