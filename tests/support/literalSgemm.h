// The plain i-j-k triple loop that the host reference SGEMM must reproduce bit for bit; tests and benchmarks only.
#pragma once

// C := alpha * A * B + beta * C for column-major A (m x k, leading dimension lda), B (k x n, ldb) and C (m x n, ldc),
// exactly as written: each product rounded to float and added in increasing k to a sum that starts at +0, then
// (alpha * sum) + (beta * C) with both products rounded. C is read also when beta is 0. Needs a build that does not
// contract multiply and add into FMA.
inline void literalSgemm(int m, int n, int k, float alpha, const float* A, int lda, const float* B, int ldb, float beta,
                         float* C, int ldc) {
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j) {
            float prod = 0.0f;
            for (int p = 0; p < k; ++p) {
                prod = prod + A[p * lda + i] * B[j * ldb + p];
            }
            C[j * ldc + i] = (alpha * prod) + (beta * C[j * ldc + i]);
        }
    }
}

// The same for n x n matrices with leading dimension n, the shape the program multiplies.
inline void literalSgemm(int n, float alpha, const float* A, const float* B, float beta, float* C) {
    literalSgemm(n, n, n, alpha, A, n, B, n, beta, C, n);
}
