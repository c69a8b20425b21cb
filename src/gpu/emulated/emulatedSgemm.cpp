// The host stand-in's cublasSgemm_v2: queued work, one fused multiply-add product kernel, and the memo that spares
// recomputing a product already in place.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

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

// The values one product is computed from; the shape and leading dimensions have been checked.
struct SgemmOperands {
    int m, n, k;
    float alpha, beta;
    const float* A;
    int lda;
    const float* B;
    int ldb;
    float* C;
    int ldc;
};

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

// Every element of C becomes alpha * sum, plus beta * C when beta is not 0, each product rounded, where
// sum = kFused(A[i,l], B[l,j], sum) for l = 0..k-1 from +0. The order of each element's sum is fixed, so the tiling
// does not change a bit of the result. Written once; the compiler vectorises it for each kFused.
template <float (*kFused)(float, float, float)>
void fusedProduct(const SgemmOperands& s) {
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

KAVREL_FMA_TARGET void hardwareProduct(const SgemmOperands& s) {
    fusedProduct<hardwareFma>(s);
}

void fallbackProduct(const SgemmOperands& s) {
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

// C := alpha * A * B + beta * C on column-major operands in the current device's memory, no transposes, with a
// context of that device. Checks its arguments and returns at once; its work waits in the device's queue for the
// next call that waits for the device. With beta 0, C is not read.
cublasStatus_t cublasSgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const float* alpha, const float* A, int lda, const float* B, int ldb,
                              const float* beta, float* C, int ldc) {
    const int device = currentDevice();
    DeviceState& state = deviceState(device);
    std::lock_guard<std::mutex> lock(state.mutex);
    const CallPlan plan = takeCall(state, EmulatedOperation::cublasSgemm_v2);
    if (plan.fails) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (contextDevice(handle) != device) {
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
    const auto onDevice = [device](const float* operand, int rows, int cols, int ld) {
        std::size_t bytes = 0;
        return blockSpanBytes(rows, cols, static_cast<int>(sizeof(float)), ld, &bytes) &&
               insideDeviceMemory(device, operand, bytes);
    };
    if (!onDevice(C, m, n, ldc) || (k != 0 && (!onDevice(A, m, k, lda) || !onDevice(B, k, n, ldb)))) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    const SgemmWork work{handle, m, n, k, *alpha, *beta, A, lda, B, ldb, C, ldc, plan.corrupts};
    state.pending.push_back(QueuedWork{true, work, nullptr, 0});
    return CUBLAS_STATUS_SUCCESS;
}

// A call with the arguments of the last product written with beta 0, while the device's epoch still stands where
// that write left it, finds the product in place instead of computing it again.
void runSgemm(DeviceState& state, const SgemmWork& work) {
    const auto start = std::chrono::steady_clock::now();
    const SgemmCall call{work.handle, work.m,   work.n, work.k,   bitsOf(work.alpha),
                         work.A,      work.lda, work.B, work.ldb, bitsOf(work.beta),
                         work.C,      work.ldc};
    if (state.memoCall != call || state.memoEpoch != state.epoch) {
        const SgemmOperands operands{work.m,   work.n, work.k,   work.alpha, work.beta, work.A,
                                     work.lda, work.B, work.ldb, work.C,     work.ldc};
        if (work.alpha == 0.0f || work.k == 0) {
            scaleOutput(operands);
        } else {
            useHardware ? hardwareProduct(operands) : fallbackProduct(operands);
        }
        ++state.computedProducts;
        ++state.epoch;
        if (work.beta == 0.0f) {
            state.memoCall = call;
            state.memoEpoch = state.epoch;
        }
    }
    if (work.corrupts) {
        work.C[0] = std::numeric_limits<float>::quiet_NaN();
        ++state.epoch;
    }
    stretchWork(state, start);
}
