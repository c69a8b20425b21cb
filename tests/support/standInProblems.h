// Device buffers and SGEMM problems on the host stand-in, as its tests build them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "gpu/gpuLibrary.h"
#include "support/referenceFma.h"

// What host buffers hold before a download fills them, and a NaN to fill device memory with.
inline constexpr float kSentinel = -7.25f;
inline const float kNaN = std::numeric_limits<float>::quiet_NaN();

// A device buffer of count floats, or null (with a test failure) when cudaMalloc fails.
inline float* deviceFloats(int count) {
    void* memory = nullptr;
    EXPECT_EQ(cudaMalloc(&memory, static_cast<size_t>(count) * sizeof(float)), cudaSuccess);
    return static_cast<float*>(memory);
}

// Uploads a whole host vector to the start of a device buffer as one column.
inline void uploadAll(const std::vector<float>& host, float* device) {
    EXPECT_EQ(cublasSetMatrix(static_cast<int>(host.size()), 1, sizeof(float), host.data(),
                              static_cast<int>(host.size()), device, static_cast<int>(host.size())),
              CUBLAS_STATUS_SUCCESS);
}

// The first count floats of a device buffer.
inline std::vector<float> downloadAll(const float* device, int count) {
    std::vector<float> host(count, kSentinel);
    EXPECT_EQ(cublasGetMatrix(count, 1, sizeof(float), device, count, host.data(), count), CUBLAS_STATUS_SUCCESS);
    return host;
}

// Values spread over [-1, 1) that depend on the seed, so that different seeds give different bytes.
inline std::vector<float> patterned(int count, int seed) {
    std::vector<float> values(count);
    std::uint32_t state = 2654435761u * static_cast<std::uint32_t>(seed + 1);
    for (float& value : values) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
    return values;
}

// One SGEMM problem held on the device: column-major A (m x k), B (k x n), C (m x n) with their own ld.
struct Problem {
    int m, n, k, lda, ldb, ldc;
    std::vector<float> a, b, c;  // host copies, with the padding rows of each leading dimension
    float* devA;
    float* devB;
    float* devC;
};

// A problem with every leading dimension ldPad beyond the minimum, its operands uploaded.
inline Problem makeProblem(int m, int n, int k, int ldPad, int seed) {
    Problem p{m, n, k, m + ldPad, k + ldPad, m + ldPad, {}, {}, {}, nullptr, nullptr, nullptr};
    p.a = patterned(p.lda * k, seed);
    p.b = patterned(p.ldb * n, seed + 1);
    p.c = patterned(p.ldc * n, seed + 2);
    p.devA = deviceFloats(static_cast<int>(p.a.size()));
    p.devB = deviceFloats(static_cast<int>(p.b.size()));
    p.devC = deviceFloats(static_cast<int>(p.c.size()));
    uploadAll(p.a, p.devA);
    uploadAll(p.b, p.devB);
    uploadAll(p.c, p.devC);
    return p;
}

// cublasSgemm_v2 on the problem's device operands.
inline cublasStatus_t runSgemm(cublasHandle_t handle, const Problem& p, float alpha, float beta) {
    return cublasSgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, p.m, p.n, p.k, &alpha, p.devA, p.lda, p.devB, p.ldb, &beta,
                          p.devC, p.ldc);
}

// The element as the stand-in defines it: a k-ordered fused multiply-add sum, then scaled.
inline float fusedElement(const Problem& p, float alpha, float beta, int i, int j) {
    float sum = 0.0f;
    for (int l = 0; l < p.k; ++l) {
        sum = referenceFma(p.a[l * p.lda + i], p.b[j * p.ldb + l], sum);
    }
    const float scaled = alpha * sum;
    return beta == 0.0f ? scaled : scaled + beta * p.c[j * p.ldc + i];
}

// A fresh context, or null (with a test failure) when cublasCreate_v2 fails.
inline cublasHandle_t newHandle() {
    cublasHandle_t handle = nullptr;
    EXPECT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    return handle;
}
