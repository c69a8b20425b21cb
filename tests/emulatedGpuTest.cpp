// Tests of the host stand-in for the CUDA runtime and cuBLAS: copies, SGEMM, its memo, and fault injection.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"

namespace {

constexpr float kSentinel = -7.25f;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// A device buffer of count floats, or null (with a test failure) when cudaMalloc fails.
float* deviceFloats(int count) {
    void* memory = nullptr;
    EXPECT_EQ(cudaMalloc(&memory, static_cast<size_t>(count) * sizeof(float)), cudaSuccess);
    return static_cast<float*>(memory);
}

// Uploads a whole host vector to the start of a device buffer as one column.
void uploadAll(const std::vector<float>& host, float* device) {
    EXPECT_EQ(cublasSetMatrix(static_cast<int>(host.size()), 1, sizeof(float), host.data(),
                              static_cast<int>(host.size()), device, static_cast<int>(host.size())),
              CUBLAS_STATUS_SUCCESS);
}

// The first count floats of a device buffer.
std::vector<float> downloadAll(const float* device, int count) {
    std::vector<float> host(count, kSentinel);
    EXPECT_EQ(cublasGetMatrix(count, 1, sizeof(float), device, count, host.data(), count), CUBLAS_STATUS_SUCCESS);
    return host;
}

// Values spread over [-1, 1) that depend on the seed, so that different seeds give different bytes.
std::vector<float> patterned(int count, int seed) {
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
Problem makeProblem(int m, int n, int k, int ldPad, int seed) {
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
cublasStatus_t runSgemm(cublasHandle_t handle, const Problem& p, float alpha, float beta) {
    return cublasSgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, p.m, p.n, p.k, &alpha, p.devA, p.lda, p.devB, p.ldb, &beta,
                          p.devC, p.ldc);
}

// The element as the stand-in defines it: a k-ordered fused multiply-add sum, then scaled.
float fusedElement(const Problem& p, float alpha, float beta, int i, int j) {
    float sum = 0.0f;
    for (int l = 0; l < p.k; ++l) {
        sum = std::fma(p.a[l * p.lda + i], p.b[j * p.ldb + l], sum);
    }
    const float scaled = alpha * sum;
    return beta == 0.0f ? scaled : scaled + beta * p.c[j * p.ldc + i];
}

// A fresh context, or null (with a test failure) when cublasCreate_v2 fails.
cublasHandle_t newHandle() {
    cublasHandle_t handle = nullptr;
    EXPECT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    return handle;
}

}  // namespace

TEST(EmulatedCopies, HonourLeadingDimensionsLargerThanRows) {
    emulatedResetFaults();
    const int rows = 5, cols = 3, hostLd = 7, deviceLd = 9;
    for (const int elemSize : {1, 4, 8}) {
        std::vector<unsigned char> host(static_cast<size_t>(hostLd) * cols * elemSize);
        for (size_t i = 0; i < host.size(); ++i) {
            host[i] = static_cast<unsigned char>(i * 7 + 1);
        }
        const size_t deviceBytes = static_cast<size_t>(deviceLd) * cols * elemSize;
        void* device = nullptr;
        ASSERT_EQ(cudaMalloc(&device, deviceBytes), cudaSuccess);
        const std::vector<unsigned char> blank(deviceBytes, 0xAB);
        const int wholeBytes = static_cast<int>(deviceBytes);
        ASSERT_EQ(cublasSetMatrix(wholeBytes, 1, 1, blank.data(), wholeBytes, device, wholeBytes),
                  CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(cublasSetMatrix(rows, cols, elemSize, host.data(), hostLd, device, deviceLd), CUBLAS_STATUS_SUCCESS);

        std::vector<unsigned char> whole(deviceBytes);
        ASSERT_EQ(cublasGetMatrix(wholeBytes, 1, 1, device, wholeBytes, whole.data(), wholeBytes),
                  CUBLAS_STATUS_SUCCESS);
        std::vector<unsigned char> back(static_cast<size_t>(6) * cols * elemSize, 0xCD);
        ASSERT_EQ(cublasGetMatrix(rows, cols, elemSize, device, deviceLd, back.data(), 6), CUBLAS_STATUS_SUCCESS);
        for (int j = 0; j < cols; ++j) {
            for (int i = 0; i < deviceLd * elemSize; ++i) {
                const size_t at = static_cast<size_t>(j) * deviceLd * elemSize + i;
                const int expected = i < rows * elemSize ? host[static_cast<size_t>(j) * hostLd * elemSize + i] : 0xAB;
                EXPECT_EQ(whole[at], expected) << "elemSize " << elemSize << " column " << j << " byte " << i;
            }
            for (int i = 0; i < 6 * elemSize; ++i) {
                const size_t at = static_cast<size_t>(j) * 6 * elemSize + i;
                const int expected = i < rows * elemSize ? host[static_cast<size_t>(j) * hostLd * elemSize + i] : 0xCD;
                EXPECT_EQ(back[at], expected) << "elemSize " << elemSize << " column " << j << " byte " << i;
            }
        }
        // The same round trip through a device block whose leading dimension is the row count.
        void* tight = nullptr;
        ASSERT_EQ(cudaMalloc(&tight, static_cast<size_t>(rows) * cols * elemSize), cudaSuccess);
        ASSERT_EQ(cublasSetMatrix(rows, cols, elemSize, host.data(), hostLd, tight, rows), CUBLAS_STATUS_SUCCESS);
        std::vector<unsigned char> tightBack(back.size(), 0xCD);
        ASSERT_EQ(cublasGetMatrix(rows, cols, elemSize, tight, rows, tightBack.data(), 6), CUBLAS_STATUS_SUCCESS);
        EXPECT_EQ(tightBack, back) << "elemSize " << elemSize;
    }
    emulatedReleaseEverything();
}

TEST(EmulatedCopies, RejectInvalidArgumentsAndRangesOutsideLiveAllocations) {
    emulatedResetFaults();
    float* device = deviceFloats(100);
    std::vector<float> host(100, 1.0f);
    const float* h = host.data();
    EXPECT_EQ(cublasSetMatrix(-1, 1, 4, h, 1, device, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetMatrix(1, -1, 4, h, 1, device, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetMatrix(1, 1, 0, h, 1, device, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetMatrix(4, 2, 4, h, 3, device, 4), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasGetMatrix(4, 2, 4, device, 3, host.data(), 4), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetMatrix(0, 2, 4, h, 0, device, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetMatrix(1, 1, 4, nullptr, 1, device, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasGetMatrix(1, 1, 4, device, 1, nullptr, 1), CUBLAS_STATUS_INVALID_VALUE);

    // Interior pointers are fine while the whole block stays inside the allocation.
    EXPECT_EQ(cublasSetMatrix(10, 5, 4, h, 10, device + 50, 10), CUBLAS_STATUS_SUCCESS);
    EXPECT_NE(cublasSetMatrix(10, 5, 4, h, 10, device + 51, 10), CUBLAS_STATUS_SUCCESS);
    EXPECT_NE(cublasGetMatrix(10, 1, 4, device + 91, 10, host.data(), 10), CUBLAS_STATUS_SUCCESS);
    EXPECT_NE(cublasSetMatrix(1, 1, 4, h, 1, host.data() + 50, 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_NE(cublasGetMatrix(1, 1, 4, h + 50, 1, host.data(), 1), CUBLAS_STATUS_SUCCESS);

    // An empty block succeeds and copies nothing.
    EXPECT_EQ(cublasGetMatrix(0, 3, 4, device, 1, host.data(), 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(host[0], 1.0f);

    ASSERT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_NE(cublasGetMatrix(1, 1, 4, device, 1, host.data(), 1), CUBLAS_STATUS_SUCCESS);
    emulatedReleaseEverything();
}

TEST(EmulatedMemory, FreeingWhatWasNotHandedOutFails) {
    emulatedResetFaults();
    const long liveDevice = emulatedLiveDeviceAllocations();
    const long liveHost = emulatedLiveHostAllocations();
    void* device = nullptr;
    void* host = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 64), cudaSuccess);
    ASSERT_EQ(cudaHostAlloc(&host, 100, 0), cudaSuccess);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(host) % 64, 0u);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), liveDevice + 1);
    EXPECT_EQ(emulatedLiveHostAllocations(), liveHost + 1);

    int local = 0;
    EXPECT_EQ(cudaFree(&local), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(static_cast<char*>(device) + 4), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(host), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeHost(device), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaMalloc(nullptr, 64), cudaErrorInvalidValue);
    void* flagged = nullptr;
    EXPECT_EQ(cudaHostAlloc(&flagged, 64, 1), cudaErrorInvalidValue);
    EXPECT_EQ(flagged, nullptr);

    EXPECT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(cudaFree(device), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeHost(host), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(host), cudaErrorInvalidValue);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), liveDevice);
    EXPECT_EQ(emulatedLiveHostAllocations(), liveHost);
    emulatedReleaseEverything();
}

TEST(EmulatedContexts, DestroyAndVersionRejectNullOrDeadHandles) {
    emulatedResetFaults();
    EXPECT_EQ(cublasCreate_v2(nullptr), CUBLAS_STATUS_INVALID_VALUE);
    int version = 0;
    EXPECT_EQ(cublasGetVersion_v2(nullptr, &version), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(version, kEmulatedCublasVersion);
    EXPECT_EQ(cublasGetVersion_v2(nullptr, nullptr), CUBLAS_STATUS_INVALID_VALUE);

    const long live = emulatedLiveContexts();
    cublasHandle_t handle = newHandle();
    EXPECT_EQ(emulatedLiveContexts(), live + 1);
    version = 0;
    EXPECT_EQ(cublasGetVersion_v2(handle, &version), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(version, kEmulatedCublasVersion);

    EXPECT_EQ(cublasDestroy_v2(nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_NE(cublasGetVersion_v2(handle, &version), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(emulatedLiveContexts(), live);
    emulatedReleaseEverything();
}

TEST(EmulatedSgemm, MatchesDoublePrecisionProductOnOddSizes) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    struct Shape {
        int m, n, k, ldPad;
    };
    const Shape shapes[] = {{1, 1, 1, 0}, {3, 3, 3, 2}, {17, 17, 17, 1}, {33, 5, 9, 3}, {70, 11, 40, 0}};
    const float scalings[][2] = {{1.0f, 0.0f}, {1.5f, -0.75f}, {-0.5f, 1.0f}};
    for (const bool hardware : {true, false}) {
        if (hardware && !emulatedHardwareFmaAvailable()) {
            continue;
        }
        emulatedUseHardwareFma(hardware);
        for (const Shape& shape : shapes) {
            for (const auto& scaling : scalings) {
                const float alpha = scaling[0], beta = scaling[1];
                const Problem p = makeProblem(shape.m, shape.n, shape.k, shape.ldPad, shape.m * 31 + shape.k);
                ASSERT_EQ(runSgemm(handle, p, alpha, beta), CUBLAS_STATUS_SUCCESS);
                const std::vector<float> c = downloadAll(p.devC, static_cast<int>(p.c.size()));
                for (int j = 0; j < p.n; ++j) {
                    for (int i = 0; i < p.ldc; ++i) {
                        const int at = j * p.ldc + i;
                        if (i >= p.m) {
                            EXPECT_EQ(c[at], p.c[at]) << "padding row " << i << " changed";
                            continue;
                        }
                        double exact = 0.0, magnitude = 0.0;
                        for (int l = 0; l < p.k; ++l) {
                            const double term = static_cast<double>(p.a[l * p.lda + i]) * p.b[j * p.ldb + l];
                            exact += term;
                            magnitude += std::fabs(term);
                        }
                        exact = alpha * exact + beta * static_cast<double>(p.c[at]);
                        magnitude = std::fabs(alpha) * magnitude + std::fabs(beta * p.c[at]);
                        const double bound = (p.k + 3) * static_cast<double>(FLT_EPSILON) * magnitude;
                        EXPECT_LE(std::fabs(c[at] - exact), bound) << p.m << "x" << p.n << "x" << p.k;
                        EXPECT_EQ(c[at], fusedElement(p, alpha, beta, i, j))
                            << (hardware ? "hardware" : "fallback") << " element " << i << "," << j;
                    }
                }
            }
        }
    }
    emulatedUseHardwareFma(true);
    emulatedReleaseEverything();
}

TEST(EmulatedSgemm, BetaZeroDoesNotReadC) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    Problem p = makeProblem(9, 4, 6, 0, 5);
    uploadAll(std::vector<float>(p.c.size(), kNaN), p.devC);
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    for (const float value : downloadAll(p.devC, static_cast<int>(p.c.size()))) {
        EXPECT_TRUE(std::isfinite(value));
    }
    emulatedReleaseEverything();
}

TEST(EmulatedSgemm, UnsupportedArgumentsFailWithoutTouchingC) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(8, 6, 4, 0, 9);
    const float one = 1.0f, zero = 0.0f;
    const cublasOperation_t N = CUBLAS_OP_N;
    // The valid call is (handle, N, N, 8, 6, 4, &one, devA, 8, devB, 4, &zero, devC, 8); each case changes one thing.
    const auto call = [&](cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k,
                          const float* alpha, const float* a, int lda, const float* b, int ldb, const float* beta,
                          float* c,
                          int ldc) { return cublasSgemm_v2(h, ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc); };
    EXPECT_EQ(call(handle, CUBLAS_OP_T, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
              CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(call(handle, N, CUBLAS_OP_C, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
              CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(call(nullptr, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
              CUBLAS_STATUS_NOT_INITIALIZED);
    const cublasHandle_t unknown = reinterpret_cast<cublasHandle_t>(p.devA);
    EXPECT_EQ(call(unknown, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
              CUBLAS_STATUS_NOT_INITIALIZED);
    const cublasStatus_t invalid[] = {
        call(handle, N, N, -1, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 7, p.devB, 4, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 3, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 7),
        call(handle, N, N, 8, 6, 4, nullptr, p.devA, 8, p.devB, 4, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, nullptr, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, nullptr, 8, p.devB, 4, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 8, nullptr, 4, &zero, p.devC, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA, 8, p.devB, 4, &zero, nullptr, 8),
        call(handle, N, N, 8, 6, 4, &one, p.devA + 1, 8, p.devB, 4, &zero, p.devC, 8),  // A runs past its end
        call(handle, N, N, 8, 6, 5, &one, p.devA, 8, p.devB, 5, &zero, p.devC, 8),      // A and B too small for k
        call(handle, N, N, 8, 7, 4, &one, p.devA, 8, p.devB, 4, &zero, p.devC, 8),      // B and C too small for n
        call(handle, N, N, 8, 6, 4, &one, p.a.data(), 8, p.devB, 4, &zero, p.devC, 8),  // A in host memory
    };
    for (const cublasStatus_t status : invalid) {
        EXPECT_EQ(status, CUBLAS_STATUS_INVALID_VALUE);
    }
    EXPECT_EQ(downloadAll(p.devC, static_cast<int>(p.c.size())), p.c);
    emulatedReleaseEverything();
}

TEST(EmulatedSgemmMemo, IdenticalCallOnUnchangedOperandsIsNotRecomputed) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(12, 7, 5, 1, 3);
    const long computed = emulatedComputedProducts();
    ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    const std::vector<float> product = downloadAll(p.devC, static_cast<int>(p.c.size()));
    // As the benchmark loop does: upload the same A and B and the product just read back into C, then multiply.
    for (int round = 0; round < 3; ++round) {
        uploadAll(p.a, p.devA);
        uploadAll(p.b, p.devB);
        uploadAll(product, p.devC);
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        EXPECT_EQ(downloadAll(p.devC, static_cast<int>(p.c.size())), product);
    }
    EXPECT_EQ(emulatedComputedProducts(), computed + 1);
    emulatedReleaseEverything();
}

TEST(EmulatedSgemmMemo, RecomputesWhenAnOperandOrArgumentChanges) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    Problem p = makeProblem(10, 6, 8, 0, 11);
    ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    long computed = emulatedComputedProducts();
    const auto expectRecomputed = [&](float alpha, float beta, const char* what) {
        ASSERT_EQ(runSgemm(handle, p, alpha, beta), CUBLAS_STATUS_SUCCESS);
        EXPECT_EQ(emulatedComputedProducts(), ++computed) << what;
        const std::vector<float> c = downloadAll(p.devC, static_cast<int>(p.c.size()));
        EXPECT_EQ(c[p.ldc * 5 + 9], fusedElement(p, alpha, beta, 9, 5)) << what;
        p.c = c;
    };
    p.a[3] += 1.0f;
    uploadAll(p.a, p.devA);
    expectRecomputed(1.0f, 0.0f, "A uploaded with different bytes");
    p.b[7] = -p.b[7];
    uploadAll(p.b, p.devB);
    expectRecomputed(1.0f, 0.0f, "B uploaded with different bytes");
    expectRecomputed(2.0f, 0.0f, "alpha changed");
    uploadAll(std::vector<float>(p.c.size(), 3.0f), p.devC);
    expectRecomputed(2.0f, 0.0f, "C overwritten by an upload");
    expectRecomputed(2.0f, 1.0f, "beta not zero");
    expectRecomputed(2.0f, 1.0f, "beta not zero, same call again");

    emulatedInjectCorruption(emulatedCallCount(EmulatedOperation::cublasSgemm_v2) + 2);
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    const std::vector<float> product = downloadAll(p.devC, static_cast<int>(p.c.size()));
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    std::vector<float> corrupted = downloadAll(p.devC, static_cast<int>(p.c.size()));
    EXPECT_TRUE(std::isnan(corrupted[0]));
    corrupted[0] = product[0];
    EXPECT_EQ(corrupted, product);
    computed = emulatedComputedProducts();
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(emulatedComputedProducts(), computed + 1) << "after corruption";
    EXPECT_EQ(downloadAll(p.devC, static_cast<int>(p.c.size())), product);
    emulatedReleaseEverything();
}

TEST(EmulatedFaults, NthMemoryCallFailsAndLeavesItsOutputsUntouched) {
    emulatedResetFaults();
    emulatedInjectFault(EmulatedOperation::cudaMalloc, 2);
    emulatedInjectFault(EmulatedOperation::cudaMalloc, 4);
    emulatedInjectFault(EmulatedOperation::cudaHostAlloc, 1);
    emulatedInjectFault(EmulatedOperation::cudaFree, 1);
    emulatedInjectFault(EmulatedOperation::cudaFreeHost, 1);
    void* const untouched = reinterpret_cast<void*>(std::uintptr_t{0x1234});
    void* pointers[4] = {untouched, untouched, untouched, untouched};
    const cudaError_t expected[4] = {cudaSuccess, cudaErrorMemoryAllocation, cudaSuccess, cudaErrorMemoryAllocation};
    for (int call = 0; call < 4; ++call) {
        EXPECT_EQ(cudaMalloc(&pointers[call], 16), expected[call]) << "cudaMalloc call " << call + 1;
        EXPECT_EQ(pointers[call] == untouched, expected[call] != cudaSuccess);
    }
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc), 4);
    const long live = emulatedLiveDeviceAllocations();
    EXPECT_NE(cudaFree(pointers[0]), cudaSuccess);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), live);
    EXPECT_EQ(cudaFree(pointers[0]), cudaSuccess);

    void* host = untouched;
    EXPECT_NE(cudaHostAlloc(&host, 16, 0), cudaSuccess);
    EXPECT_EQ(host, untouched);
    ASSERT_EQ(cudaHostAlloc(&host, 16, 0), cudaSuccess);
    EXPECT_NE(cudaFreeHost(host), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(host), cudaSuccess);

    emulatedResetFaults();
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc), 0);
    EXPECT_EQ(cudaMalloc(&pointers[1], 16), cudaSuccess);
    emulatedReleaseEverything();
}

TEST(EmulatedFaults, NthCublasCallFailsAndLeavesItsOutputsUntouched) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(4, 4, 4, 0, 21);
    emulatedResetFaults();
    const EmulatedOperation cublasOperations[] = {
        EmulatedOperation::cublasCreate_v2, EmulatedOperation::cublasGetVersion_v2, EmulatedOperation::cublasDestroy_v2,
        EmulatedOperation::cublasSetMatrix, EmulatedOperation::cublasGetMatrix,     EmulatedOperation::cublasSgemm_v2};
    for (const EmulatedOperation operation : cublasOperations) {
        emulatedInjectFault(operation, 1);
    }
    cublasHandle_t created = handle;
    EXPECT_NE(cublasCreate_v2(&created), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(created, handle);
    int version = -1;
    EXPECT_NE(cublasGetVersion_v2(nullptr, &version), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(version, -1);
    const std::vector<float> zeros(16, 0.0f);
    EXPECT_NE(cublasSetMatrix(4, 4, 4, zeros.data(), 4, p.devA, 4), CUBLAS_STATUS_SUCCESS);
    std::vector<float> host(16, kSentinel);
    EXPECT_NE(cublasGetMatrix(4, 4, 4, p.devA, 4, host.data(), 4), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(host, std::vector<float>(16, kSentinel));
    EXPECT_NE(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    const long live = emulatedLiveContexts();
    EXPECT_NE(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(emulatedLiveContexts(), live);
    for (const EmulatedOperation operation : cublasOperations) {
        EXPECT_EQ(emulatedCallCount(operation), 1) << static_cast<int>(operation);
    }
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc), 0);

    // The second calls succeed, and show that the failed ones changed nothing.
    EXPECT_EQ(downloadAll(p.devA, 16), p.a);
    EXPECT_EQ(downloadAll(p.devC, 16), p.c);
    EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
    emulatedReleaseEverything();
}

TEST(EmulatedFaultParser, AcceptsWellFormedLists) {
    emulatedResetFaults();
    EXPECT_TRUE(emulatedParseFaults("").valid);
    EXPECT_TRUE(emulatedParseFaults("").faults.empty());
    const std::string names[] = {
        "cublasCreate_v2", "cublasGetVersion_v2", "cublasDestroy_v2", "cublasSetMatrix", "cublasGetMatrix",
        "cublasSgemm_v2",  "cudaHostAlloc",       "cudaFreeHost",     "cudaMalloc",      "cudaFree"};
    std::string all;
    for (const std::string& name : names) {
        all += name + ":3,";
    }
    all += "corrupt:2,cudaMalloc:" + std::to_string(LONG_MAX);
    const EmulatedFaultList list = emulatedParseFaults(all.c_str());
    ASSERT_TRUE(list.valid) << list.badItem;
    ASSERT_EQ(list.faults.size(), 12u);
    for (int op = 0; op < 10; ++op) {
        EXPECT_FALSE(list.faults[op].corruption);
        EXPECT_EQ(static_cast<int>(list.faults[op].operation), op);
        EXPECT_EQ(list.faults[op].callNumber, 3);
    }
    EXPECT_TRUE(list.faults[10].corruption);
    EXPECT_EQ(list.faults[10].callNumber, 2);
    EXPECT_EQ(list.faults[11].callNumber, LONG_MAX);
    emulatedReleaseEverything();
}

TEST(EmulatedFaultParser, RejectsEachKindOfMalformedItem) {
    emulatedResetFaults();
    const struct {
        const char* text;
        const char* badItem;
    } cases[] = {
        {"cublasSgemm:3", "cublasSgemm:3"}, {"cudaMalloc", "cudaMalloc"},
        {"cudaMalloc:", "cudaMalloc:"},     {"cudaMalloc:0", "cudaMalloc:0"},
        {"cudaMalloc:-1", "cudaMalloc:-1"}, {"cudaMalloc:+1", "cudaMalloc:+1"},
        {"cudaMalloc:1x", "cudaMalloc:1x"}, {"cudaMalloc: 1", "cudaMalloc: 1"},
        {"CUDAMALLOC:1", "CUDAMALLOC:1"},   {":1", ":1"},
        {"cudaFree:1,,cudaMalloc:2", ""},   {"cudaFree:1,", ""},
        {"cudaFree:1:2", "cudaFree:1:2"},   {"corrupt:99999999999999999999", "corrupt:99999999999999999999"},
    };
    for (const auto& c : cases) {
        const EmulatedFaultList list = emulatedParseFaults(c.text);
        EXPECT_FALSE(list.valid) << c.text;
        EXPECT_EQ(list.badItem, c.badItem) << c.text;
        EXPECT_TRUE(list.faults.empty()) << c.text;
    }
    const std::string message = emulatedBadFaultsMessage("cublasSgemm:3");
    EXPECT_EQ(message.rfind("KAVREL_EMULATED_FAULTS: bad item \"cublasSgemm:3\"", 0), 0u);
    EXPECT_NE(message.find("cudaFree"), std::string::npos);
    EXPECT_NE(message.find("corrupt"), std::string::npos);
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_EQ(emulatedBadFaultsMessage("a\nb").find('\n'), std::string::npos);
    emulatedReleaseEverything();
}
