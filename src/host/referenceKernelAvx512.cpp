// The AVX-512 reference micro-kernel: a 48 x 8 tile of C in 24 zmm registers.
//
// Assumptions:
// - the caller has checked that the processor runs AVX-512F (and the OS saves zmm state);
// - packed A holds 48 floats per k, packed B 8 floats per k, the accumulator tile is 48 x 8 column-major, all
//   64-byte aligned;
// - every product is rounded before it is added: multiply and add are separate instructions, and the build passes
//   -ffp-contract=off so the compiler does not fuse them either;
// - each of the 24 accumulators is an independent chain, so the sum of every element of C runs in increasing k.
#include "host/referenceKernels.h"

#if KAVREL_REFERENCE_X86_SIMD

#include <immintrin.h>

#include <cstddef>

static_assert(kAvx512Mr == 48 && kAvx512Nr == 8, "the AVX-512 micro-kernel is written for a 48 x 8 tile");

__attribute__((target("avx512f"))) void microKernelAvx512(int kc, const float* packedA, const float* packedB,
                                                          float* acc, bool accumulate) {
    __m512 c[kAvx512Nr][3];
    for (std::ptrdiff_t j = 0; j < kAvx512Nr; ++j) {
        for (std::ptrdiff_t r = 0; r < 3; ++r) {
            c[j][r] = accumulate ? _mm512_load_ps(acc + j * kAvx512Mr + r * 16) : _mm512_setzero_ps();
        }
    }
    const float* a = packedA;
    const float* b = packedB;
    for (int p = 0; p < kc; ++p) {
        const __m512 a0 = _mm512_load_ps(a);
        const __m512 a1 = _mm512_load_ps(a + 16);
        const __m512 a2 = _mm512_load_ps(a + 32);
        for (int j = 0; j < kAvx512Nr; ++j) {
            const __m512 bj = _mm512_set1_ps(b[j]);
            c[j][0] = _mm512_add_ps(c[j][0], _mm512_mul_ps(a0, bj));
            c[j][1] = _mm512_add_ps(c[j][1], _mm512_mul_ps(a1, bj));
            c[j][2] = _mm512_add_ps(c[j][2], _mm512_mul_ps(a2, bj));
        }
        a += kAvx512Mr;
        b += kAvx512Nr;
    }
    for (std::ptrdiff_t j = 0; j < kAvx512Nr; ++j) {
        for (std::ptrdiff_t r = 0; r < 3; ++r) {
            _mm512_store_ps(acc + j * kAvx512Mr + r * 16, c[j][r]);
        }
    }
}

#endif
