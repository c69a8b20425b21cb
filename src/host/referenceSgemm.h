// The host reference SGEMM: bit for bit what the plain i-j-k triple loop gives, computed fast.
#pragma once

#include "common/matrix.h"

// C := alpha * A * B + beta * C for n x n column-major matrices with leading dimension n.
//
// Every element is the strictly k-ordered single-precision sum of single-precision-rounded
// products A[k*n + i] * B[j*n + k] (no fused multiply-add, no reassociation), then
// (alpha * sum) + (beta * C[j*n + i]) with both products rounded. C is always read, also
// when beta is 0, exactly as the triple loop reads it. Runs on the calling thread with scratch of its own, so
// calls on several threads run side by side.
void referenceSgemm(int n, float alpha, const float* A, const float* B, float beta, float* C);

// The same for order x order matrices stored with the shape's leading dimension; padding rows are not touched.
void referenceSgemm(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C);

// referenceSgemm over columns firstColumn .. firstColumn + columns - 1 of C alone, leaving the others as they are.
// Every element's sum is independent of the others, so calls on disjoint columns, on as many threads, give the
// bits one call over the whole matrix gives.
void referenceSgemmColumns(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C,
                           int firstColumn, int columns);

// The kernels referenceSgemm picks from, by what the processor reports.
enum class ReferenceKernel { portable, avx2, avx512 };

// Whether this build and this processor can run the kernel.
bool referenceKernelAvailable(ReferenceKernel kernel);

// The kernel's name in lower case: "portable", "avx2" or "avx512".
const char* referenceKernelName(ReferenceKernel kernel);

// The kernel referenceSgemm uses: the fastest available one.
ReferenceKernel selectedReferenceKernel();

// referenceSgemm on a given kernel, for tests and benchmarks; the kernel must be available.
void referenceSgemmWithKernel(ReferenceKernel kernel, int n, float alpha, const float* A, const float* B, float beta,
                              float* C);
