// The host stand-in's cublasSgemm_v2: fused multiply-add kernels, and the memo that spares recomputing a product
// already in place.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "gpu/emulated/emulatedInternal.h"

// MinGW GCC does not align the stack for AVX spills (GCC bug 54412), so the vector kernels are x86-64 ELF only.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define KAVREL_EMULATED_VECTOR_KERNELS 1
#include <immintrin.h>
#else
#define KAVREL_EMULATED_VECTOR_KERNELS 0
#endif

namespace {

// The values one product is computed from; the shape and leading dimensions have been checked.
struct SgemmOperands {
    int m;
    int n;
    int k;
    float alpha;
    float beta;
    const float* A;
    int lda;
    const float* B;
    int ldb;
    float* C;
    int ldc;
};

// Products computed since start-up.
long computedProducts = 0;

// Elements from the start of a column-major matrix to the start of the column.
std::size_t offsetOf(int column, int ld) {
    return static_cast<std::size_t>(column) * static_cast<std::size_t>(ld);
}

// The value's bits, so that -0 differs from 0 and a NaN matches itself.
std::uint32_t bitsOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// C := beta * C, or zeros when beta is 0, for a product that adds nothing (alpha or k is 0), as BLAS does.
void scaleOutput(const SgemmOperands& s) {
    for (int column = 0; column < s.n; ++column) {
        float* c = s.C + offsetOf(column, s.ldc);
        for (int row = 0; row < s.m; ++row) {
            c[row] = s.beta == 0.0f ? 0.0f : s.beta * c[row];
        }
    }
}

// Every element is sum = fma(A[i,l], B[l,j], sum) for l = 0..k-1 from 0, then alpha * sum, plus beta * C when
// beta is not 0, each product rounded; the vector kernels below give the same bits.
void sgemmPortable(const SgemmOperands& s) {
    for (int column = 0; column < s.n; ++column) {
        const float* b = s.B + offsetOf(column, s.ldb);
        float* c = s.C + offsetOf(column, s.ldc);
        for (int row = 0; row < s.m; ++row) {
            float sum = 0.0f;
            for (int l = 0; l < s.k; ++l) {
                sum = std::fma(s.A[offsetOf(l, s.lda) + row], b[l], sum);
            }
            c[row] = s.beta == 0.0f ? s.alpha * sum : s.alpha * sum + s.beta * c[row];
        }
    }
}

#if KAVREL_EMULATED_VECTOR_KERNELS

// Floats in one AVX-512 and one AVX register, as pointer offsets.
constexpr std::ptrdiff_t kLanes512 = 16;
constexpr std::ptrdiff_t kLanes256 = 8;

// Rows [row, row + 16 * kVectors) (fewer at the bottom edge, by mask) of columns [column, column + kColumns),
// with sums kept in registers across the whole k loop so that each element's sum runs in k order.
template <int kVectors, int kColumns>
__attribute__((target("avx512f"))) void avx512Tile(const SgemmOperands& s, int row, int column) {
    __mmask16 masks[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const int rowsLeft = s.m - row - 16 * v;
        masks[v] = rowsLeft >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << rowsLeft) - 1u);
    }
    __m512 sums[kVectors][kColumns];
    for (int v = 0; v < kVectors; ++v) {
        for (int c = 0; c < kColumns; ++c) {
            sums[v][c] = _mm512_setzero_ps();
        }
    }
    const float* b[kColumns];
    for (int c = 0; c < kColumns; ++c) {
        b[c] = s.B + offsetOf(column + c, s.ldb);
    }
    for (int l = 0; l < s.k; ++l) {
        const float* a = s.A + offsetOf(l, s.lda) + row;
        __m512 aValues[kVectors];
        for (int v = 0; v < kVectors; ++v) {
            aValues[v] = _mm512_maskz_loadu_ps(masks[v], a + kLanes512 * v);
        }
        for (int c = 0; c < kColumns; ++c) {
            const __m512 bValue = _mm512_set1_ps(b[c][l]);
            for (int v = 0; v < kVectors; ++v) {
                sums[v][c] = _mm512_fmadd_ps(aValues[v], bValue, sums[v][c]);
            }
        }
    }
    const __m512 alpha = _mm512_set1_ps(s.alpha);
    const __m512 beta = _mm512_set1_ps(s.beta);
    for (int c = 0; c < kColumns; ++c) {
        float* out = s.C + offsetOf(column + c, s.ldc) + row;
        for (int v = 0; v < kVectors; ++v) {
            __m512 result = _mm512_mul_ps(alpha, sums[v][c]);
            if (s.beta != 0.0f) {
                result =
                    _mm512_add_ps(result, _mm512_mul_ps(beta, _mm512_maskz_loadu_ps(masks[v], out + kLanes512 * v)));
            }
            _mm512_mask_storeu_ps(out + kLanes512 * v, masks[v], result);
        }
    }
}

// The whole product in 32-row, 4-column tiles; same bits as sgemmPortable.
__attribute__((target("avx512f"))) void sgemmAvx512(const SgemmOperands& s) {
    for (int row = 0; row < s.m; row += 32) {
        const bool twoVectors = s.m - row > 16;
        int column = 0;
        for (; column + 4 <= s.n; column += 4) {
            twoVectors ? avx512Tile<2, 4>(s, row, column) : avx512Tile<1, 4>(s, row, column);
        }
        for (; column < s.n; ++column) {
            twoVectors ? avx512Tile<2, 1>(s, row, column) : avx512Tile<1, 1>(s, row, column);
        }
    }
}

// As avx512Tile, eight rows to a vector.
template <int kVectors, int kColumns>
__attribute__((target("avx2,fma"))) void avx2Tile(const SgemmOperands& s, int row, int column) {
    const __m256i laneIndex = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i masks[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        masks[v] = _mm256_cmpgt_epi32(_mm256_set1_epi32(s.m - row - 8 * v), laneIndex);
    }
    __m256 sums[kVectors][kColumns];
    for (int v = 0; v < kVectors; ++v) {
        for (int c = 0; c < kColumns; ++c) {
            sums[v][c] = _mm256_setzero_ps();
        }
    }
    const float* b[kColumns];
    for (int c = 0; c < kColumns; ++c) {
        b[c] = s.B + offsetOf(column + c, s.ldb);
    }
    for (int l = 0; l < s.k; ++l) {
        const float* a = s.A + offsetOf(l, s.lda) + row;
        __m256 aValues[kVectors];
        for (int v = 0; v < kVectors; ++v) {
            aValues[v] = _mm256_maskload_ps(a + kLanes256 * v, masks[v]);
        }
        for (int c = 0; c < kColumns; ++c) {
            const __m256 bValue = _mm256_set1_ps(b[c][l]);
            for (int v = 0; v < kVectors; ++v) {
                sums[v][c] = _mm256_fmadd_ps(aValues[v], bValue, sums[v][c]);
            }
        }
    }
    const __m256 alpha = _mm256_set1_ps(s.alpha);
    const __m256 beta = _mm256_set1_ps(s.beta);
    for (int c = 0; c < kColumns; ++c) {
        float* out = s.C + offsetOf(column + c, s.ldc) + row;
        for (int v = 0; v < kVectors; ++v) {
            __m256 result = _mm256_mul_ps(alpha, sums[v][c]);
            if (s.beta != 0.0f) {
                result = _mm256_add_ps(result, _mm256_mul_ps(beta, _mm256_maskload_ps(out + kLanes256 * v, masks[v])));
            }
            _mm256_maskstore_ps(out + kLanes256 * v, masks[v], result);
        }
    }
}

// The whole product in 16-row, 4-column tiles; same bits as sgemmPortable.
__attribute__((target("avx2,fma"))) void sgemmAvx2(const SgemmOperands& s) {
    for (int row = 0; row < s.m; row += 16) {
        const bool twoVectors = s.m - row > 8;
        int column = 0;
        for (; column + 4 <= s.n; column += 4) {
            twoVectors ? avx2Tile<2, 4>(s, row, column) : avx2Tile<1, 4>(s, row, column);
        }
        for (; column < s.n; ++column) {
            twoVectors ? avx2Tile<2, 1>(s, row, column) : avx2Tile<1, 1>(s, row, column);
        }
    }
}

#endif

// Whether this build and this processor can run the kernel.
bool kernelAvailable(EmulatedSgemmKernel kernel) {
    switch (kernel) {
        case EmulatedSgemmKernel::portable:
            return true;
#if KAVREL_EMULATED_VECTOR_KERNELS
        case EmulatedSgemmKernel::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case EmulatedSgemmKernel::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

// The fastest kernel kernelAvailable allows.
EmulatedSgemmKernel fastestKernel() {
    if (kernelAvailable(EmulatedSgemmKernel::avx512)) {
        return EmulatedSgemmKernel::avx512;
    }
    if (kernelAvailable(EmulatedSgemmKernel::avx2)) {
        return EmulatedSgemmKernel::avx2;
    }
    return EmulatedSgemmKernel::portable;
}

// The kernel products are computed with, chosen on first use.
EmulatedSgemmKernel& activeKernel() {
    static EmulatedSgemmKernel kernel = fastestKernel();
    return kernel;
}

// Writes C of the product with the active kernel, or scaled by beta alone when nothing is added to it.
void computeProduct(const SgemmOperands& s) {
    if (s.alpha == 0.0f || s.k == 0) {
        scaleOutput(s);
        return;
    }
    switch (activeKernel()) {
#if KAVREL_EMULATED_VECTOR_KERNELS
        case EmulatedSgemmKernel::avx512:
            sgemmAvx512(s);
            return;
        case EmulatedSgemmKernel::avx2:
            sgemmAvx2(s);
            return;
#endif
        default:
            sgemmPortable(s);
            return;
    }
}

// Whether two calls agree in every argument, floats compared by their bits.
bool sameArguments(const SgemmArguments& x, const SgemmArguments& y) {
    return x.transa == y.transa && x.transb == y.transb && x.m == y.m && x.n == y.n && x.k == y.k &&
           x.alphaBits == y.alphaBits && x.betaBits == y.betaBits && x.A == y.A && x.lda == y.lda && x.B == y.B &&
           x.ldb == y.ldb && x.C == y.C && x.ldc == y.ldc;
}

// The live device allocation holding a rows x cols float operand with leading dimension ld; null when none does.
DeviceAllocation* operandAllocation(const float* operand, int rows, int cols, int ld) {
    std::size_t bytes = 0;
    if (!blockSpanBytes(rows, cols, static_cast<int>(sizeof(float)), ld, &bytes)) {
        return nullptr;
    }
    return deviceAllocationHolding(operand, bytes);
}

}  // namespace

// C := alpha * A * B + beta * C on column-major device operands, no transposes. With beta 0, C is not read.
// A call identical to the context's last one, on operands whose contents are unchanged and a C still holding
// that call's product, finds the product in place instead of computing it again.
cublasStatus_t cublasSgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const float* alpha, const float* A, int lda, const float* B, int ldb,
                              const float* beta, float* C, int ldc) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    const CallPlan plan = takeCall(EmulatedOperation::cublasSgemm_v2);
    if (plan.fails) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (!contextIsLive(handle)) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (transa != CUBLAS_OP_N || transb != CUBLAS_OP_N) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    if (m < 0 || n < 0 || k < 0 || lda < std::max(1, m) || ldb < std::max(1, k) || ldc < std::max(1, m) ||
        alpha == nullptr || beta == nullptr || A == nullptr || B == nullptr || C == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (m == 0 || n == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    DeviceAllocation* allocationC = operandAllocation(C, m, n, ldc);
    DeviceAllocation* allocationA = k == 0 ? nullptr : operandAllocation(A, m, k, lda);
    DeviceAllocation* allocationB = k == 0 ? nullptr : operandAllocation(B, k, n, ldb);
    if (allocationC == nullptr || (k != 0 && (allocationA == nullptr || allocationB == nullptr))) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }

    const SgemmArguments arguments{transa, transb, m, n, k, bitsOf(*alpha), bitsOf(*beta), A, lda, B, ldb, C, ldc};
    // Taken before C is written, so that an A or B sharing C's allocation is seen as changed next time.
    const std::uint64_t generationA = allocationA == nullptr ? 0 : allocationA->generation;
    const std::uint64_t generationB = allocationB == nullptr ? 0 : allocationB->generation;
    SgemmMemo& memo = handle->lastProduct;
    const bool productInPlace = memo.valid && sameArguments(memo.arguments, arguments) &&
                                memo.generationA == generationA && memo.generationB == generationB &&
                                memo.generationC == allocationC->generation;
    if (!productInPlace) {
        computeProduct(SgemmOperands{m, n, k, *alpha, *beta, A, lda, B, ldb, C, ldc});
        ++computedProducts;
        allocationC->generation = freshGeneration();
        // With beta not 0, C is an input too, so the same call would compute something else.
        memo = SgemmMemo{*beta == 0.0f, arguments, generationA, generationB, allocationC->generation};
    }
    if (plan.corrupts) {
        C[0] = std::numeric_limits<float>::quiet_NaN();
        allocationC->generation = freshGeneration();
        memo.valid = false;
    }
    return CUBLAS_STATUS_SUCCESS;
}

long emulatedComputedProducts() {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    return computedProducts;
}

bool emulatedSgemmKernelAvailable(EmulatedSgemmKernel kernel) {
    return kernelAvailable(kernel);
}

EmulatedSgemmKernel emulatedFastestSgemmKernel() {
    return fastestKernel();
}

bool emulatedUseSgemmKernel(EmulatedSgemmKernel kernel) {
    std::lock_guard<std::mutex> lock(emulatedMutex());
    if (!kernelAvailable(kernel)) {
        return false;
    }
    activeKernel() = kernel;
    return true;
}
