// Internal pieces of the host reference SGEMM that its kernels share: block sizes, packing and micro-kernels.
#pragma once

#include <cstddef>

#include "host/referenceSgemm.h"

// The SIMD kernels need GCC-style target attributes and x86-64 intrinsics. MinGW GCC does not align the stack for
// spilled AVX and AVX-512 registers (GCC bug 54412), so Windows builds keep to the portable kernel.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define KAVREL_REFERENCE_X86_SIMD 1
#else
#define KAVREL_REFERENCE_X86_SIMD 0
#endif

// Blocking shared by every kernel, in elements. One kKc x kNc panel of B and one kMc x kKc block of A are packed at
// a time; kMc and kNc are multiples of every kernel's micro-tile.
constexpr int kKc = 256;
constexpr int kMc = 528;
constexpr int kNc = 512;

// Micro-tile of each kernel: kMr rows by kNr columns of C held in registers while k runs.
constexpr int kPortableMr = 8;
constexpr int kPortableNr = 4;
constexpr int kAvx2Mr = 24;
constexpr int kAvx2Nr = 4;
constexpr int kAvx512Mr = 48;
constexpr int kAvx512Nr = 8;

// acc := (accumulate ? acc : +0) + sum over p of packedA[p * mr + i] * packedB[p * nr + j], for every i < mr and
// j < nr, one product at a time in increasing p. packedA is a kc x mr micro-panel of A (mr floats per k),
// packedB a kc x nr micro-panel of B (nr floats per k), acc an mr x nr column-major tile (leading dimension mr),
// all 64-byte aligned. mr and nr are fixed by the kernel.
using MicroKernel = void (*)(int kc, const float* packedA, const float* packedB, float* acc, bool accumulate);

void microKernelPortable(int kc, const float* packedA, const float* packedB, float* acc, bool accumulate);
#if KAVREL_REFERENCE_X86_SIMD
void microKernelAvx2(int kc, const float* packedA, const float* packedB, float* acc, bool accumulate);
void microKernelAvx512(int kc, const float* packedA, const float* packedB, float* acc, bool accumulate);
#endif

// Copies the mc x kc block of column-major A (leading dimension lda) into micro-panels of kMr rows: panel r holds
// rows r * kMr .. r * kMr + kMr - 1 as kc groups of kMr floats, at packedA + r * kMr * kc. Rows past mc are zeros.
template <int kMr>
void packBlockA(int mc, int kc, const float* A, std::ptrdiff_t lda, float* packedA) {
    for (int p = 0; p < kc; ++p) {
        const float* column = A + p * lda;
        for (int ir = 0; ir < mc; ir += kMr) {
            float* packed = packedA + static_cast<std::ptrdiff_t>(ir) * kc + static_cast<std::ptrdiff_t>(p) * kMr;
            const int rows = mc - ir;
            if (rows >= kMr) {
                for (int i = 0; i < kMr; ++i) {
                    packed[i] = column[ir + i];
                }
            } else {
                for (int i = 0; i < rows; ++i) {
                    packed[i] = column[ir + i];
                }
                for (int i = rows; i < kMr; ++i) {
                    packed[i] = 0.0f;
                }
            }
        }
    }
}

// Copies the kc x nc panel of column-major B (leading dimension ldb) into micro-panels of kNr columns: panel s holds
// columns s * kNr .. s * kNr + kNr - 1 as kc groups of kNr floats, at packedB + s * kNr * kc. Columns past nc are
// zeros.
template <int kNr>
void packPanelB(int kc, int nc, const float* B, std::ptrdiff_t ldb, float* packedB) {
    for (int jr = 0; jr < nc; jr += kNr) {
        float* panel = packedB + static_cast<std::ptrdiff_t>(jr) * kc;
        const int columns = nc - jr;
        if (columns >= kNr) {
            // All kNr columns are read side by side, so that each packed group is written at once.
            const float* column[kNr];
            for (int j = 0; j < kNr; ++j) {
                column[j] = B + (jr + j) * ldb;
            }
            for (int p = 0; p < kc; ++p) {
                for (int j = 0; j < kNr; ++j) {
                    panel[p * kNr + j] = column[j][p];
                }
            }
        } else {
            for (int p = 0; p < kc; ++p) {
                for (int j = 0; j < kNr; ++j) {
                    panel[p * kNr + j] = j < columns ? B[(jr + j) * ldb + p] : 0.0f;
                }
            }
        }
    }
}

// A kernel as the blocked driver sees it: its micro-tile, its micro-kernel and the packing for that tile.
struct KernelShape {
    int mr;
    int nr;
    MicroKernel microKernel;
    void (*packBlockA)(int mc, int kc, const float* A, std::ptrdiff_t lda, float* packedA);
    void (*packPanelB)(int kc, int nc, const float* B, std::ptrdiff_t ldb, float* packedB);
};

// The shape of a kernel; a kernel this build or processor cannot run gets the portable shape.
KernelShape referenceKernelShape(ReferenceKernel kernel);

// C := alpha * A * B + beta * C for column-major A (m x k, leading dimension lda), B (k x n, ldb) and C (m x n,
// ldc), with every element of C the k-ordered sum the plain triple loop gives, bit for bit. C is read also when
// beta is 0. Runs the given kernel's micro-kernel inside the shared blocking, on the calling thread, with packing
// and accumulator scratch of its own (about 2 MB, allocated per call), so calls on several threads run at once.
void blockedSgemm(const KernelShape& shape, int m, int n, int k, float alpha, const float* A, std::ptrdiff_t lda,
                  const float* B, std::ptrdiff_t ldb, float beta, float* C, std::ptrdiff_t ldc);
