// The host stand-in's product kernel: every element a k-ordered fused multiply-add sum, with the processor's
// instruction where it has one and a correctly rounded fallback otherwise.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "gpu/emulated/emulatedInternal.h"

// The instruction is reached through GCC's x86 target attributes and chosen at run time. MinGW GCC does not align
// the stack for 32-byte AVX spills (GCC bug 54412), so on Windows the compiler is held to 128-bit vectors. Flattening
// inlines the kernel and the builtin into the function so marked, so that they are compiled for the instruction.
#if defined(__GNUC__) && defined(__x86_64__)
#define KAVREL_HARDWARE_FMA 1
#if defined(_WIN32)
#define KAVREL_FMA_TARGET __attribute__((target("fma,prefer-vector-width=128"), flatten))
#else
#define KAVREL_FMA_TARGET __attribute__((target("fma"), flatten))
#endif
#else
#define KAVREL_HARDWARE_FMA 0
#define KAVREL_FMA_TARGET
#endif

namespace {

// Rows and columns of C one tile of the kernel accumulates at once; these sizes vectorise well with GCC.
constexpr int kTileRows = 32;
constexpr int kTileColumns = 4;

// Elements from the start of a column-major matrix to the start of the column.
std::size_t offsetOf(int column, int ld) {
    return static_cast<std::size_t>(column) * static_cast<std::size_t>(ld);
}

// C := beta * C, or zeros when beta is 0, for a product that adds nothing (alpha or k is 0), as BLAS does.
void scaleOutput(const ProductOperands& s) {
    for (int column = 0; column < s.n; ++column) {
        float* c = s.C + offsetOf(column, s.ldc);
        for (int row = 0; row < s.m; ++row) {
            c[row] = s.beta == 0.0f ? 0.0f : s.beta * c[row];
        }
    }
}

// Every element of C becomes alpha * sum, plus beta * C when beta is not 0, each product rounded, where
// sum = kFused(A[i,l], B[l,j], sum) for l = 0..k-1 from +0. The order of each element's sum is fixed, so the tiling
// does not change a bit of the result. Written once; the compiler vectorises it for each kFused.
template <float (*kFused)(float, float, float)>
void fusedProduct(const ProductOperands& s) {
    const auto store = [&s](float* out, float sum) {
        *out = s.beta == 0.0f ? s.alpha * sum : s.alpha * sum + s.beta * *out;
    };
    const int tiledRows = s.m - s.m % kTileRows;
    for (int row = 0; row < tiledRows; row += kTileRows) {
        for (int column = 0; column < s.n; column += kTileColumns) {
            const int columns = std::min(kTileColumns, s.n - column);
            const float* b[kTileColumns];
            for (int c = 0; c < kTileColumns; ++c) {
                // Past the last column the tile repeats it, keeping the loops' bounds fixed; those sums are dropped.
                b[c] = s.B + offsetOf(column + std::min(c, columns - 1), s.ldb);
            }
            float sums[kTileColumns][kTileRows] = {};
            for (int l = 0; l < s.k; ++l) {
                const float* a = s.A + offsetOf(l, s.lda) + row;
                for (int c = 0; c < kTileColumns; ++c) {
                    const float bValue = b[c][l];
                    for (int r = 0; r < kTileRows; ++r) {
                        sums[c][r] = kFused(a[r], bValue, sums[c][r]);
                    }
                }
            }
            for (int c = 0; c < columns; ++c) {
                for (int r = 0; r < kTileRows; ++r) {
                    store(s.C + offsetOf(column + c, s.ldc) + row + r, sums[c][r]);
                }
            }
        }
    }
    for (int column = 0; column < s.n; ++column) {
        for (int row = tiledRows; row < s.m; ++row) {
            float sum = 0.0f;
            for (int l = 0; l < s.k; ++l) {
                sum = kFused(s.A[offsetOf(l, s.lda) + row], s.B[offsetOf(column, s.ldb) + l], sum);
            }
            store(s.C + offsetOf(column, s.ldc) + row, sum);
        }
    }
}

// Only a function compiled for the instruction turns the builtin into it; elsewhere it calls the C library's fmaf,
// which MinGW implements in software, slowly and not always correctly rounded. Without the instruction in the
// build, the fallback stands in.
KAVREL_FMA_TARGET float hardwareFma(float a, float b, float c) {
#if KAVREL_HARDWARE_FMA
    return __builtin_fmaf(a, b, c);
#else
    return emulatedFallbackFma(a, b, c);
#endif
}

KAVREL_FMA_TARGET void hardwareProduct(const ProductOperands& s) {
    fusedProduct<hardwareFma>(s);
}

void fallbackProduct(const ProductOperands& s) {
    fusedProduct<emulatedFallbackFma>(s);
}

// Whether SGEMM computes with the instruction; it does wherever it can unless a test says otherwise.
std::atomic<bool> useHardware{emulatedHardwareFmaAvailable()};

}  // namespace

float emulatedHardwareFma(float a, float b, float c) {
    return hardwareFma(a, b, c);
}

float emulatedFallbackFma(float a, float b, float c) {
    // The product of two floats is exact in a double, and TwoSum gives the exact error of adding c to it.
    const double product = static_cast<double>(a) * static_cast<double>(b);
    double sum = product + static_cast<double>(c);
    const double cPart = sum - product;
    const double error = (product - (sum - cPart)) + (static_cast<double>(c) - cPart);
    // Rounding to odd: an inexact sum with an even last bit moves to its neighbour on the error's side, so that a
    // rounded sum never lands where rounding on to float would go the other way than the exact value does.
    std::uint64_t bits = 0;
    std::memcpy(&bits, &sum, sizeof bits);
    if (error != 0.0 && (bits & 1u) == 0 && std::isfinite(sum)) {
        bits = (error > 0.0) == (sum > 0.0) ? bits + 1 : bits - 1;
        std::memcpy(&sum, &bits, sizeof sum);
    }
    return static_cast<float>(sum);
}

bool emulatedHardwareFmaAvailable() {
#if KAVREL_HARDWARE_FMA
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0;
#else
    return false;
#endif
}

void emulatedUseHardwareFma(bool hardware) {
    useHardware = hardware && emulatedHardwareFmaAvailable();
}

float roundToTf32(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    if ((bits & 0x7F800000u) == 0x7F800000u) {
        return value;
    }
    // 13 of the 23 fraction bits go; adding half of their weight, less one unless the kept part is odd, rounds to
    // nearest with ties to even, and a carry into the exponent is the right result (up to infinity).
    constexpr std::uint32_t kDropped = 13;
    const std::uint32_t keptLowBit = (bits >> kDropped) & 1u;
    bits += (1u << (kDropped - 1)) - 1u + keptLowBit;
    bits &= ~((1u << kDropped) - 1u);
    float rounded = 0.0f;
    std::memcpy(&rounded, &bits, sizeof rounded);
    return rounded;
}

void computeProduct(const ProductOperands& operands, bool tf32) {
    if (operands.alpha == 0.0f || operands.k == 0) {
        scaleOutput(operands);
        return;
    }
    ProductOperands used = operands;
    std::vector<float> roundedA;
    std::vector<float> roundedB;
    if (tf32) {
        // Packed copies of A and B rounded to TF32 stand in for the operands.
        const auto rounded = [](const float* matrix, int rows, int cols, int ld, std::vector<float>* into) {
            into->resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
            for (int column = 0; column < cols; ++column) {
                for (int row = 0; row < rows; ++row) {
                    (*into)[offsetOf(column, rows) + row] = roundToTf32(matrix[offsetOf(column, ld) + row]);
                }
            }
        };
        rounded(operands.A, operands.m, operands.k, operands.lda, &roundedA);
        rounded(operands.B, operands.k, operands.n, operands.ldb, &roundedB);
        used.A = roundedA.data();
        used.lda = operands.m;
        used.B = roundedB.data();
        used.ldb = operands.k;
    }
    if (useHardware) {
        hardwareProduct(used);
    } else {
        fallbackProduct(used);
    }
}
