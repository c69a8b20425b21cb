// The loop nest every reference kernel runs in, laid out as BLIS does: blocking, packing scratch and epilogue.
//
// Assumptions:
// - float arithmetic rounds every operation to single precision (no excess precision, no contraction into FMA;
//   the build passes -ffp-contract=off or /fp:precise);
// - matrices are column-major, m, n, k >= 0, leading dimensions at least the row counts;
// - k is split into blocks of kKc, but every element of C still sums its products one by one in increasing k:
//   the raw sums are carried in the accumulator scratch from one k block to the next, and alpha and beta are
//   applied once, after the last k block;
// - ragged edges are packed with zeros up to whole micro-tiles; those padding rows and columns are computed in the
//   scratch and never written to C.
//
// The loops depart from BLIS's order (jc, pc, ic, jr, ir) by running the k blocks inside the row blocks (jc, ic, pc,
// jr, ir): BLIS accumulates each k block into C, which would round alpha * sum + beta * C once per k block; here the
// raw sums of one mc x nc block stay in scratch across its k blocks, so each element is rounded as the triple loop
// rounds it. The price is packing each panel of B once per row block instead of once.
#include <algorithm>
#include <cfloat>
#include <new>

#include "host/referenceKernels.h"

#if defined(FLT_EVAL_METHOD)
static_assert(FLT_EVAL_METHOD == 0, "the reference must round every float operation to single precision");
#endif
static_assert(kMc % kPortableMr == 0 && kMc % kAvx2Mr == 0 && kMc % kAvx512Mr == 0, "kMc must hold whole micro-tiles");
static_assert(kNc % kPortableNr == 0 && kNc % kAvx2Nr == 0 && kNc % kAvx512Nr == 0, "kNc must hold whole micro-tiles");

namespace {

// The packing and accumulator scratch of one call, in one allocation: packed A, packed B, then the raw sums.
constexpr std::size_t kPackedAFloats = static_cast<std::size_t>(kMc) * kKc;
constexpr std::size_t kPackedBFloats = static_cast<std::size_t>(kKc) * kNc;
constexpr std::size_t kScratchFloats = kPackedAFloats + kPackedBFloats + static_cast<std::size_t>(kMc) * kNc;
constexpr std::align_val_t kScratchAlignment{64};
static_assert(kPackedAFloats % 16 == 0 && kPackedBFloats % 16 == 0, "every part of the scratch stays 64-byte aligned");

// C := alpha * acc + beta * C over an mr x nr tile; acc is column-major with leading dimension ldAcc, C with ldc.
// Both products are rounded before the sum, and C is read whatever beta is.
void applyEpilogue(int mr, int nr, float alpha, const float* acc, std::ptrdiff_t ldAcc, float beta, float* C,
                   std::ptrdiff_t ldc) {
    for (std::ptrdiff_t j = 0; j < nr; ++j) {
        const float* accColumn = acc + j * ldAcc;
        float* cColumn = C + j * ldc;
        for (int i = 0; i < mr; ++i) {
            cColumn[i] = alpha * accColumn[i] + beta * cColumn[i];
        }
    }
}

// The plain triple loop over the same operands, needing no scratch: element (i, j) sums its products in
// increasing k, then takes alpha and beta as the epilogue does.
void unblockedSgemm(int m, int n, int k, float alpha, const float* A, std::ptrdiff_t lda, const float* B,
                    std::ptrdiff_t ldb, float beta, float* C, std::ptrdiff_t ldc) {
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            float sum = 0.0f;
            for (std::ptrdiff_t p = 0; p < k; ++p) {
                sum = sum + A[p * lda + i] * B[j * ldb + p];
            }
            C[j * ldc + i] = alpha * sum + beta * C[j * ldc + i];
        }
    }
}

}  // namespace

void blockedSgemm(const KernelShape& shape, int m, int n, int k, float alpha, const float* A, std::ptrdiff_t lda,
                  const float* B, std::ptrdiff_t ldb, float beta, float* C, std::ptrdiff_t ldc) {
    if (m <= 0 || n <= 0) {
        return;
    }
    // Scratch per call, so that callers on different threads neither wait for nor disturb each other.
    auto* scratch =
        static_cast<float*>(::operator new(kScratchFloats * sizeof(float), kScratchAlignment, std::nothrow));
    if (scratch == nullptr) {
        // Without memory for the packing, the plain loop still gives the same bits.
        unblockedSgemm(m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
        return;
    }
    float* const packedAScratch = scratch;
    float* const packedBScratch = scratch + kPackedAFloats;
    float* const accumulatorScratch = packedBScratch + kPackedBFloats;
    const int mr = shape.mr;
    const int nr = shape.nr;
    const std::ptrdiff_t tileSize = static_cast<std::ptrdiff_t>(mr) * nr;
    // With k == 0 one empty k block still runs, so that the epilogue scales C.
    const int kBlocks = std::max(1, (k + kKc - 1) / kKc);

    // loop over column blocks of C
    for (int jc = 0; jc < n; jc += kNc) {
        const int nc = std::min(kNc, n - jc);
        // loop over row blocks of C
        for (int ic = 0; ic < m; ic += kMc) {
            const int mc = std::min(kMc, m - ic);
            // loop over k blocks; the raw sums of this mc x nc block of C stay in the accumulator scratch throughout,
            // one tile after another in the order the loops below visit them
            for (int kb = 0; kb < kBlocks; ++kb) {
                const int pc = kb * kKc;
                const int kc = std::min(kKc, k - pc);
                const bool lastKBlock = kb == kBlocks - 1;
                shape.packPanelB(kc, nc, B + jc * ldb + pc, ldb, packedBScratch);
                shape.packBlockA(mc, kc, A + pc * lda + ic, lda, packedAScratch);
                float* acc = accumulatorScratch;
                // loop around the micro-kernel over columns
                for (int jr = 0; jr < nc; jr += nr) {
                    const float* packedB = packedBScratch + static_cast<std::ptrdiff_t>(jr) * kc;
                    // loop around the micro-kernel over rows
                    for (int ir = 0; ir < mc; ir += mr) {
                        const float* packedA = packedAScratch + static_cast<std::ptrdiff_t>(ir) * kc;
                        shape.microKernel(kc, packedA, packedB, acc, kb > 0);
                        if (lastKBlock) {
                            applyEpilogue(std::min(mr, mc - ir), std::min(nr, nc - jr), alpha, acc, mr, beta,
                                          C + (jc + jr) * ldc + ic + ir, ldc);
                        }
                        acc += tileSize;
                    }
                }
            }
        }
    }
    ::operator delete(scratch, kScratchAlignment);
}
