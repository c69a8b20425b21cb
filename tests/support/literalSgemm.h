// The plain i-j-k triple loop that the host reference SGEMM must reproduce bit for bit; tests and benchmarks only.
#pragma once

// C := alpha * A * B + beta * C for column-major A (m x k, leading dimension lda), B (k x n, ldb) and C (m x n, ldc),
// exactly as written: each product rounded to float and added in increasing k to a sum that starts at +0, then
// (alpha * sum) + (beta * C) with both products rounded. C is read also when beta is 0. Needs a build that does not
// contract multiply and add into FMA.
void literalSgemm(int m, int n, int k, float alpha, const float* A, int lda, const float* B, int ldb, float beta,
                  float* C, int ldc);

// The same for n x n matrices with leading dimension n, the shape the program multiplies.
void literalSgemm(int n, float alpha, const float* A, const float* B, float beta, float* C);
