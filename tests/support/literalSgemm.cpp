// The literal triple loop, compiled apart from the test bodies so that it keeps the build type's optimisation.
#include "support/literalSgemm.h"

void literalSgemm(int m, int n, int k, float alpha, const float* A, int lda, const float* B, int ldb, float beta,
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

void literalSgemm(int n, float alpha, const float* A, const float* B, float beta, float* C) {
    literalSgemm(n, n, n, alpha, A, n, B, n, beta, C, n);
}
