// The AVX2 reference micro-kernel: a 24 x 4 tile of C in twelve ymm registers.
//
// Assumptions:
// - the caller has checked that the processor runs AVX2 (and the OS saves ymm state);
// - packed A holds 24 floats per k, packed B 4 floats per k, the accumulator tile is 24 x 4 column-major, all
//   32-byte aligned (the shared packing gives 64);
// - every product is rounded before it is added: multiply and add are separate instructions, and the build passes
//   -ffp-contract=off so the compiler does not fuse them either;
// - each of the twelve accumulators is an independent chain, so the sum of every element of C runs in increasing k.
#include "host/referenceKernels.h"

#if KAVREL_REFERENCE_X86_SIMD

#include <immintrin.h>

#include <cstddef>

static_assert(kAvx2Mr == 24 && kAvx2Nr == 4, "the AVX2 micro-kernel is written for a 24 x 4 tile");

__attribute__((target("avx2"))) void microKernelAvx2(int kc, const float* packedA, const float* packedB, float* acc,
                                                     bool accumulate) {
    __m256 c[kAvx2Nr][3];
    for (std::ptrdiff_t j = 0; j < kAvx2Nr; ++j) {
        for (std::ptrdiff_t r = 0; r < 3; ++r) {
            c[j][r] = accumulate ? _mm256_load_ps(acc + j * kAvx2Mr + r * 8) : _mm256_setzero_ps();
        }
    }
    const float* a = packedA;
    const float* b = packedB;
    for (int p = 0; p < kc; ++p) {
        const __m256 a0 = _mm256_load_ps(a);
        const __m256 a1 = _mm256_load_ps(a + 8);
        const __m256 a2 = _mm256_load_ps(a + 16);
        for (int j = 0; j < kAvx2Nr; ++j) {
            const __m256 bj = _mm256_broadcast_ss(b + j);
            c[j][0] = _mm256_add_ps(c[j][0], _mm256_mul_ps(a0, bj));
            c[j][1] = _mm256_add_ps(c[j][1], _mm256_mul_ps(a1, bj));
            c[j][2] = _mm256_add_ps(c[j][2], _mm256_mul_ps(a2, bj));
        }
        a += kAvx2Mr;
        b += kAvx2Nr;
    }
    for (std::ptrdiff_t j = 0; j < kAvx2Nr; ++j) {
        for (std::ptrdiff_t r = 0; r < 3; ++r) {
            _mm256_store_ps(acc + j * kAvx2Mr + r * 8, c[j][r]);
        }
    }
}

#endif
