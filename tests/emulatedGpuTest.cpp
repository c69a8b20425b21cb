// Tests of the host stand-in for the CUDA runtime and cuBLAS: copies, SGEMM, its arithmetic and memo, fault
// injection and the figures it writes at exit.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"
#include "support/environmentVariable.h"
#include "support/referenceFma.h"
#include "support/standInProblems.h"

namespace {

// The float's bits, and whether two floats are the same value: the same bits, or both NaN.
std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool sameFloat(float x, float y) {
    return (std::isnan(x) && std::isnan(y)) || bitsOf(x) == bitsOf(y);
}

// One multiply-add whose fused result differs from a*b rounded and then added, and, but for case 0, from the
// exact double sum rounded to float, as a fallback without rounding to odd would give.
struct FusedCase {
    float a, b, c, fused;
};

std::vector<FusedCase> fusedCases() {
    const std::vector<FusedCase> positive = {
        // (1 + 2^-23)^2 - (1 + 2^-22) = 2^-46, lost entirely when the product is rounded first.
        {1.0f + std::ldexp(1.0f, -23), 1.0f + std::ldexp(1.0f, -23), -(1.0f + std::ldexp(1.0f, -22)),
         std::ldexp(1.0f, -46)},
        // 1 + 2^-23 + 2^-24 - 2^-60: just below the midpoint to 1 + 2^-22, where the double sum lands.
        {std::ldexp(1.0f + std::ldexp(1.0f, -18), -12), std::ldexp(1.0f - std::ldexp(1.0f, -18), -12),
         1.0f + std::ldexp(1.0f, -23), 1.0f + std::ldexp(1.0f, -23)},
        // 1 + 2^-24 + 2^-60 (4097 * 16773121 = 2^36 + 1): just above the midpoint to 1 + 2^-23.
        {std::ldexp(4097.0f, -36), std::ldexp(16773121.0f, -24), 1.0f, 1.0f + std::ldexp(1.0f, -23)},
    };
    std::vector<FusedCase> cases = positive;
    for (const FusedCase& c : positive) {
        cases.push_back(FusedCase{-c.a, c.b, -c.c, -c.fused});
    }
    return cases;
}

// A float of random sign and mantissa with an exponent in [low, high].
float randomFloat(std::mt19937& random, int low, int high) {
    const float mantissa = 1.0f + static_cast<float>(random() >> 9) * std::ldexp(1.0f, -23);
    const float value = std::ldexp(mantissa, std::uniform_int_distribution<int>(low, high)(random));
    return (random() & 1u) != 0 ? -value : value;
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

TEST(EmulatedMemory, NewMemoryHoldsAllOnesBytes) {
    // NaN as floats, so that a product read from memory nobody wrote shows.
    emulatedResetFaults();
    void* device = nullptr;
    void* host = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 40), cudaSuccess);
    ASSERT_EQ(cudaHostAlloc(&host, 24, cudaHostAllocDefault), cudaSuccess);
    std::vector<unsigned char> bytes(40, 0);
    ASSERT_EQ(cublasGetMatrix(40, 1, 1, device, 40, bytes.data(), 40), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(bytes, std::vector<unsigned char>(40, 0xFF));
    const unsigned char* hostBytes = static_cast<const unsigned char*>(host);
    EXPECT_EQ(std::vector<unsigned char>(hostBytes, hostBytes + 24), std::vector<unsigned char>(24, 0xFF));
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

TEST(EmulatedFma, BothPathsAreFusedOnInputsWhereRoundingTheProductFirstDiffers) {
    for (const FusedCase& c : fusedCases()) {
        ASSERT_TRUE(sameFloat(referenceFma(c.a, c.b, c.c), c.fused)) << "the case itself is wrong";
        ASSERT_FALSE(sameFloat(c.a * c.b + c.c, c.fused)) << "the case does not tell fused from unfused";
        EXPECT_TRUE(sameFloat(emulatedFallbackFma(c.a, c.b, c.c), c.fused)) << c.a << " " << c.b << " " << c.c;
        if (emulatedHardwareFmaAvailable()) {
            EXPECT_TRUE(sameFloat(emulatedHardwareFma(c.a, c.b, c.c), c.fused)) << c.a << " " << c.b << " " << c.c;
        }
    }
    EXPECT_FALSE(
        sameFloat(static_cast<float>(static_cast<double>(fusedCases()[1].a) * fusedCases()[1].b + fusedCases()[1].c),
                  fusedCases()[1].fused))
        << "case 1 does not tell rounding to odd from plain double rounding";
}

TEST(EmulatedFma, SgemmKernelIsFusedOnBothPathsInTilesAndAtTheirEdges) {
    // With k = 2, A's columns (c, a) and B's column j (1, b_j): element (i, j) is fma(a_i, b_j, c_i). Row i holds
    // case i % 6 and column j case j, so the elements with j = i % 6 are the cases, in full tiles and edge rows.
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const std::vector<FusedCase> cases = fusedCases();
    const int m = 70, n = static_cast<int>(cases.size());
    std::vector<float> a(2 * m), b(2 * n);
    for (int i = 0; i < m; ++i) {
        a[i] = cases[i % n].c;
        a[m + i] = cases[i % n].a;
    }
    for (int j = 0; j < n; ++j) {
        b[2 * j] = 1.0f;
        b[2 * j + 1] = cases[j].b;
    }
    float* devA = deviceFloats(2 * m);
    float* devB = deviceFloats(2 * n);
    float* devC = deviceFloats(m * n);
    uploadAll(a, devA);
    uploadAll(b, devB);
    const float one = 1.0f, zero = 0.0f;
    for (const bool hardware : {true, false}) {
        if (hardware && !emulatedHardwareFmaAvailable()) {
            continue;
        }
        emulatedUseHardwareFma(hardware);
        uploadAll(std::vector<float>(m * n, kSentinel), devC);
        ASSERT_EQ(cublasSgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, 2, &one, devA, m, devB, 2, &zero, devC, m),
                  CUBLAS_STATUS_SUCCESS);
        const std::vector<float> c = downloadAll(devC, m * n);
        for (int i = 0; i < m; ++i) {
            EXPECT_TRUE(sameFloat(c[(i % n) * m + i], cases[i % n].fused))
                << (hardware ? "hardware" : "fallback") << " row " << i;
        }
    }
    emulatedUseHardwareFma(true);
    emulatedReleaseEverything();
}

TEST(EmulatedFma, BothPathsMatchTheCorrectlyRoundedFmaOnAMillionRandomTriples) {
    std::mt19937 random(12345);
    long mismatches[2] = {0, 0};
    std::string firstMismatch;
    for (int i = 0; i < 1000000; ++i) {
        float a = randomFloat(random, -40, 40), b = randomFloat(random, -40, 40), c = 0.0f;
        switch (i % 4) {
            case 0:  // unrelated magnitudes
                c = randomFloat(random, -90, 90);
                break;
            case 1:  // c cancels most of the product
                c = std::nextafter(-(a * b), static_cast<float>(random() % 3) - 1.0f);
                break;
            case 2:  // c overlaps the product's low bits
                c = randomFloat(random, std::ilogb(a * b) - 30, std::ilogb(a * b) + 2);
                break;
            default: {  // any bits: subnormals, infinities, NaNs and overflow
                const std::uint32_t bits[3] = {static_cast<std::uint32_t>(random()),
                                               static_cast<std::uint32_t>(random()),
                                               static_cast<std::uint32_t>(random())};
                std::memcpy(&a, &bits[0], sizeof a);
                std::memcpy(&b, &bits[1], sizeof b);
                std::memcpy(&c, &bits[2], sizeof c);
            }
        }
        const float expected = referenceFma(a, b, c);
        const float got[2] = {emulatedFallbackFma(a, b, c),
                              emulatedHardwareFmaAvailable() ? emulatedHardwareFma(a, b, c) : expected};
        for (int path = 0; path < 2; ++path) {
            if (!sameFloat(got[path], expected) && mismatches[path]++ == 0 && firstMismatch.empty()) {
                std::ostringstream text;
                text.precision(9);
                text << (path == 0 ? "fallback" : "hardware") << " fma(" << a << ", " << b << ", " << c
                     << ") = " << got[path] << ", not " << expected;
                firstMismatch = text.str();
            }
        }
    }
    EXPECT_EQ(mismatches[0], 0) << firstMismatch;
    EXPECT_EQ(mismatches[1], 0) << firstMismatch;
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
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    long computed = emulatedComputedProducts();
    const auto expectRecomputed = [&](float alpha, float beta, const char* what) {
        ASSERT_EQ(runSgemm(handle, p, alpha, beta), CUBLAS_STATUS_SUCCESS);
        const std::vector<float> c = downloadAll(p.devC, static_cast<int>(p.c.size()));
        EXPECT_EQ(emulatedComputedProducts(), ++computed) << what;
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
    // With beta 0, C is no input: a C overwritten since is given the product again without computing it.
    const std::vector<float> product2 = p.c;
    uploadAll(std::vector<float>(p.c.size(), 3.0f), p.devC);
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(downloadAll(p.devC, static_cast<int>(p.c.size())), product2) << "C overwritten by an upload";
    EXPECT_EQ(emulatedComputedProducts(), computed) << "C overwritten by an upload";
    expectRecomputed(2.0f, 1.0f, "beta not zero");
    expectRecomputed(2.0f, 1.0f, "beta not zero, same call again");
    expectRecomputed(2.0f, 0.0f, "beta 0 again, after calls with beta 1 wrote C");
    ASSERT_EQ(cublasGetMatrix(static_cast<int>(p.b.size()), 1, sizeof(float), p.devB, static_cast<int>(p.b.size()),
                              p.devA, static_cast<int>(p.b.size())),
              CUBLAS_STATUS_SUCCESS);
    std::copy(p.b.begin(), p.b.end(), p.a.begin());
    expectRecomputed(2.0f, 0.0f, "A overwritten by a download from B");

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
    EXPECT_EQ(downloadAll(p.devC, static_cast<int>(p.c.size())), product) << "after corruption";
    EXPECT_EQ(emulatedComputedProducts(), computed) << "the product is given back, not computed again";
    emulatedReleaseEverything();
}

TEST(EmulatedSgemmMemo, EveryChangeOfDeviceBytesMovesTheEpochAndNoOtherCopyDoes) {
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const auto moves = [](const auto& action) {
        const std::uint64_t before = emulatedDeviceEpoch();
        action();
        return emulatedDeviceEpoch() != before;
    };
    void* block = nullptr;
    EXPECT_TRUE(moves([&] { ASSERT_EQ(cudaMalloc(&block, 64), cudaSuccess); })) << "allocation";
    EXPECT_TRUE(moves([&] { ASSERT_EQ(cudaFree(block), cudaSuccess); })) << "release";

    Problem p = makeProblem(8, 8, 8, 0, 13);
    const int count = static_cast<int>(p.a.size());
    EXPECT_FALSE(moves([&] { uploadAll(p.a, p.devA); })) << "upload of the bytes already there";
    p.a[5] += 1.0f;
    EXPECT_TRUE(moves([&] { uploadAll(p.a, p.devA); })) << "upload that changes one element";
    std::vector<float> host(count, kSentinel);
    EXPECT_FALSE(moves([&] { host = downloadAll(p.devA, count); })) << "download that changes host memory";
    const auto deviceToDevice = [&] {
        ASSERT_EQ(cublasGetMatrix(count, 1, sizeof(float), p.devB, count, p.devA, count), CUBLAS_STATUS_SUCCESS);
    };
    EXPECT_TRUE(moves(deviceToDevice)) << "download that changes device memory";
    EXPECT_FALSE(moves(deviceToDevice)) << "download of the bytes already in device memory";

    // An SGEMM's work runs at the next call that waits for the device.
    const auto sgemmAndWait = [&] {
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    };
    EXPECT_TRUE(moves(sgemmAndWait)) << "SGEMM";
    EXPECT_FALSE(moves(sgemmAndWait)) << "SGEMM that finds its product in place";
    emulatedInjectCorruption(emulatedCallCount(EmulatedOperation::cublasSgemm_v2) + 1);
    EXPECT_TRUE(moves(sgemmAndWait)) << "corruption of a product found in place";
    emulatedInjectFault(EmulatedOperation::cublasSetMatrix, emulatedCallCount(EmulatedOperation::cublasSetMatrix) + 1);
    p.a[6] += 1.0f;
    EXPECT_FALSE(moves([&] {
        EXPECT_NE(cublasSetMatrix(count, 1, sizeof(float), p.a.data(), count, p.devA, count), CUBLAS_STATUS_SUCCESS);
    })) << "failed upload";
    emulatedReleaseEverything();
}

TEST(EmulatedSgemmMemo, BenchmarkShapedLoopComputesOneProductInAllItsIterations) {
    // As the program's timed loop does: page-locked host matrices; upload A, B and the C read back last time,
    // multiply, read C back.
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const int n = 40, bytes = n * n * static_cast<int>(sizeof(float));
    float* host[3] = {nullptr, nullptr, nullptr};
    float* device[3] = {nullptr, nullptr, nullptr};
    for (int matrix = 0; matrix < 3; ++matrix) {
        ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&host[matrix]), bytes, cudaHostAllocDefault), cudaSuccess);
        const std::vector<float> values = patterned(n * n, matrix);
        std::copy(values.begin(), values.end(), host[matrix]);
        device[matrix] = deviceFloats(n * n);
    }
    const long computed = emulatedComputedProducts();
    const float one = 1.0f, zero = 0.0f;
    for (int iteration = 0; iteration < 50; ++iteration) {
        for (int matrix = 0; matrix < 3; ++matrix) {
            ASSERT_EQ(cublasSetMatrix(n, n, sizeof(float), host[matrix], n, device[matrix], n), CUBLAS_STATUS_SUCCESS);
        }
        ASSERT_EQ(cublasSgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, &one, device[0], n, device[1], n, &zero,
                                 device[2], n),
                  CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(cublasGetMatrix(n, n, sizeof(float), device[2], n, host[2], n), CUBLAS_STATUS_SUCCESS);
    }
    EXPECT_EQ(emulatedComputedProducts(), computed + 1);
    float sum = 0.0f;
    for (int l = 0; l < n; ++l) {
        sum = referenceFma(host[0][l * n + 7], host[1][3 * n + l], sum);
    }
    EXPECT_EQ(host[2][3 * n + 7], sum);
    emulatedReleaseEverything();
}

TEST(EmulatedSgemmMemo, BenchShapedLoopThatUploadsTheSameCAndDownloadsElsewhereComputesOneProduct) {
    // As kavrel-bench's timed loop does: C comes from the test data every time, and the product goes to a buffer of
    // its own, so every upload of C overwrites the product on the device.
    emulatedResetFaults();
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(24, 24, 24, 0, 5);
    const long computed = emulatedComputedProducts();
    std::vector<float> first;
    for (int iteration = 0; iteration < 20; ++iteration) {
        uploadAll(p.a, p.devA);
        uploadAll(p.b, p.devB);
        uploadAll(p.c, p.devC);
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        const std::vector<float> product = downloadAll(p.devC, static_cast<int>(p.c.size()));
        if (iteration == 0) {
            first = product;
        }
        ASSERT_EQ(product, first) << iteration;
    }
    EXPECT_EQ(first[3 * p.ldc + 7], fusedElement(p, 1.0f, 0.0f, 7, 3));
    EXPECT_EQ(emulatedComputedProducts(), computed + 1);
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
    // Spelled out here, as users and the libraries spell them, so that a misspelt entry in the table shows.
    const std::string names[] = {"cublasCreate_v2",
                                 "cublasGetVersion_v2",
                                 "cublasDestroy_v2",
                                 "cublasSetMatrix",
                                 "cublasGetMatrix",
                                 "cublasSgemm_v2",
                                 "cudaHostAlloc",
                                 "cudaFreeHost",
                                 "cudaMalloc",
                                 "cudaFree",
                                 "cudaGetDeviceCount",
                                 "cudaSetDevice",
                                 "cudaGetDeviceProperties",
                                 "cudaDeviceSynchronize",
                                 "cudaMemGetInfo",
                                 "cudaEventCreate",
                                 "cudaEventRecord",
                                 "cudaEventSynchronize",
                                 "cudaEventElapsedTime",
                                 "cudaEventDestroy",
                                 "cudaDeviceGetPCIBusId",
                                 "cublasSetPointerMode_v2",
                                 "cublasSetMathMode",
                                 "cublasScopy_v2",
                                 "cublasSaxpy_v2",
                                 "cublasSasum_v2"};
    const int count = static_cast<int>(EmulatedOperation::count);
    ASSERT_EQ(count, 26);
    std::string all;
    for (const std::string& name : names) {
        all += name + ":3,";
    }
    all += "corrupt:2,cudaMalloc:" + std::to_string(LONG_MAX) + ",hang:cublasGetMatrix:4@2,corrupt:cublasSasum_v2:5@1";
    const EmulatedFaultList list = emulatedParseFaults(all.c_str());
    ASSERT_TRUE(list.valid) << list.badItem;
    ASSERT_EQ(list.faults.size(), count + 4u);
    for (int op = 0; op < count; ++op) {
        EXPECT_EQ(emulatedOperationName(static_cast<EmulatedOperation>(op)), names[op]);
        EXPECT_FALSE(list.faults[op].corruption);
        EXPECT_EQ(static_cast<int>(list.faults[op].operation), op);
        EXPECT_EQ(list.faults[op].callNumber, 3);
    }
    EXPECT_EQ(emulatedOperationName(EmulatedOperation::count), nullptr);
    EXPECT_TRUE(list.faults[count].corruption);
    EXPECT_EQ(list.faults[count].operation, EmulatedOperation::cublasSgemm_v2);
    EXPECT_EQ(list.faults[count].callNumber, 2);
    EXPECT_EQ(list.faults[count + 1].callNumber, LONG_MAX);
    EXPECT_FALSE(list.faults[count + 1].hang);
    const EmulatedFault& hang = list.faults[count + 2];
    EXPECT_TRUE(hang.hang);
    EXPECT_FALSE(hang.corruption);
    EXPECT_EQ(hang.operation, EmulatedOperation::cublasGetMatrix);
    EXPECT_EQ(hang.callNumber, 4);
    EXPECT_EQ(hang.device, 2);
    const EmulatedFault& sum = list.faults[count + 3];
    EXPECT_TRUE(sum.corruption);
    EXPECT_EQ(sum.operation, EmulatedOperation::cublasSasum_v2);
    EXPECT_EQ(sum.callNumber, 5);
    EXPECT_EQ(sum.device, 1);
    emulatedReleaseEverything();
}

TEST(EmulatedFaults, AHungCallBlocksHoldingNoLockUntilItIsLetGo) {
    emulatedResetFaults();
    emulatedSetDeviceCount(2);
    emulatedInjectHang(EmulatedOperation::cudaMalloc, 2, 0);
    void* first = nullptr;
    ASSERT_EQ(cudaMalloc(&first, 64), cudaSuccess);
    std::atomic<bool> returned{false};
    cudaError_t status = cudaSuccess;
    std::thread stuck([&] {
        void* second = nullptr;
        status = cudaMalloc(&second, 64);
        returned = true;
    });
    while (emulatedHungCalls() == 0) {
        std::this_thread::yield();
    }
    // Device 0 itself still answers, as does every other device: the hung call holds none of their locks.
    size_t free = 0;
    size_t total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    void* other = nullptr;
    EXPECT_EQ(cudaMalloc(&other, 64), cudaSuccess);
    EXPECT_FALSE(returned.load());
    emulatedReleaseHangs();
    stuck.join();
    EXPECT_NE(status, cudaSuccess) << "a call let go fails";
    EXPECT_EQ(emulatedHungCalls(), 0);
    emulatedReleaseEverything();
    emulatedResetFaults();
}

TEST(EmulatedFaultParser, RejectsEachKindOfMalformedItem) {
    emulatedResetFaults();
    const struct {
        const char* text;
        const char* badItem;
    } cases[] = {
        {"cublasSgemm:3", "cublasSgemm:3"},
        {"cudaMalloc", "cudaMalloc"},
        {"cudaMalloc:", "cudaMalloc:"},
        {"cudaMalloc:0", "cudaMalloc:0"},
        {"cudaMalloc:-1", "cudaMalloc:-1"},
        {"cudaMalloc:+1", "cudaMalloc:+1"},
        {"cudaMalloc:1x", "cudaMalloc:1x"},
        {"cudaMalloc: 1", "cudaMalloc: 1"},
        {"CUDAMALLOC:1", "CUDAMALLOC:1"},
        {":1", ":1"},
        {"cudaFree:1,,cudaMalloc:2", ""},
        {"cudaFree:1,", ""},
        {"cudaFree:1:2", "cudaFree:1:2"},
        {"corrupt:99999999999999999999", "corrupt:99999999999999999999"},
        // Only calls that write device results can be corrupted, and only a call number follows the operation.
        {"corrupt:cudaMalloc:1", "corrupt:cudaMalloc:1"},
        {"corrupt:cublasSasum_v2", "corrupt:cublasSasum_v2"},
        {"corrupt:cublasSasum:2", "corrupt:cublasSasum:2"},
        {"hang:corrupt:2", "hang:corrupt:2"},
        {"hang:", "hang:"},
        {"hang:cudaMalloc", "hang:cudaMalloc"},
        {"hang:hang:cudaMalloc:1", "hang:hang:cudaMalloc:1"},
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

TEST(EmulatedStats, FileNamedAtStartUpReceivesTheFiguresAtExitAndNothingIsPrinted) {
    // The threadsafe style starts the child afresh, so that it reads KAVREL_EMULATED_STATS at start-up.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = testing::TempDir() + "kavrel-emulated-stats.txt";
    std::remove(path.c_str());
    ASSERT_EQ(setVariable("KAVREL_EMULATED_STATS", path.c_str()), 0);
    EXPECT_EXIT(
        {
            cublasHandle_t handle = newHandle();
            const Problem p = makeProblem(4, 4, 4, 0, 1);
            runSgemm(handle, p, 1.0f, 0.0f);
            runSgemm(handle, p, 1.0f, 0.0f);
            cudaDeviceSynchronize();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^$");
    unsetVariable("KAVREL_EMULATED_STATS");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    const std::string counts =
        "cublasCreate_v2 1\ncublasGetVersion_v2 0\ncublasDestroy_v2 0\ncublasSetMatrix 3\ncublasGetMatrix 0\n"
        "cublasSgemm_v2 2\ncudaHostAlloc 0\ncudaFreeHost 0\ncudaMalloc 3\ncudaFree 0\ncudaGetDeviceCount 0\n"
        "cudaSetDevice 0\ncudaGetDeviceProperties 0\ncudaDeviceSynchronize 1\ncudaMemGetInfo 0\ncudaEventCreate 0\n"
        "cudaEventRecord 0\ncudaEventSynchronize 0\ncudaEventElapsedTime 0\ncudaEventDestroy 0\n"
        "cudaDeviceGetPCIBusId 0\ncublasSetPointerMode_v2 0\ncublasSetMathMode 0\ncublasScopy_v2 0\n"
        "cublasSaxpy_v2 0\ncublasSasum_v2 0\n";
    std::string deviceCounts;
    for (std::size_t start = 0, end = counts.find('\n'); end != std::string::npos;
         start = end + 1, end = counts.find('\n', start)) {
        deviceCounts += "device 0 " + counts.substr(start, end + 1 - start);
    }
    // The child left its context and three matrices behind.
    const std::string live = "live_device_allocations 3\nlive_host_allocations 0\nlive_contexts 1\nlive_events 0\n";
    EXPECT_EQ(text.str(), "computed_products 1\n" + live + counts + "device 0 computed_products 1\n" + deviceCounts);
    std::remove(path.c_str());
    EXPECT_FALSE(emulatedWriteStats((testing::TempDir() + "no-such-folder/stats.txt").c_str()));
}
