// Picks the fastest reference kernel the processor runs, asking the processor once, and hands referenceSgemm to it.
#include "host/referenceSgemm.h"

#include "host/referenceKernels.h"

namespace {

// What the processor (and the OS, which must save the wider registers) supports.
struct CpuFeatures {
    bool avx2;
    bool avx512f;
};

CpuFeatures detectCpuFeatures() {
#if KAVREL_REFERENCE_X86_SIMD
    __builtin_cpu_init();
    return CpuFeatures{__builtin_cpu_supports("avx2") != 0, __builtin_cpu_supports("avx512f") != 0};
#else
    return CpuFeatures{false, false};
#endif
}

const CpuFeatures& cpuFeatures() {
    static const CpuFeatures features = detectCpuFeatures();
    return features;
}

}  // namespace

KernelShape referenceKernelShape(ReferenceKernel kernel) {
#if KAVREL_REFERENCE_X86_SIMD
    if (kernel == ReferenceKernel::avx512 && referenceKernelAvailable(kernel)) {
        return KernelShape{kAvx512Mr, kAvx512Nr, microKernelAvx512, packBlockA<kAvx512Mr>, packPanelB<kAvx512Nr>};
    }
    if (kernel == ReferenceKernel::avx2 && referenceKernelAvailable(kernel)) {
        return KernelShape{kAvx2Mr, kAvx2Nr, microKernelAvx2, packBlockA<kAvx2Mr>, packPanelB<kAvx2Nr>};
    }
#else
    static_cast<void>(kernel);
#endif
    return KernelShape{kPortableMr, kPortableNr, microKernelPortable, packBlockA<kPortableMr>, packPanelB<kPortableNr>};
}

bool referenceKernelAvailable(ReferenceKernel kernel) {
    switch (kernel) {
        case ReferenceKernel::portable:
            return true;
        case ReferenceKernel::avx2:
            return cpuFeatures().avx2;
        case ReferenceKernel::avx512:
            return cpuFeatures().avx512f;
    }
    return false;
}

const char* referenceKernelName(ReferenceKernel kernel) {
    switch (kernel) {
        case ReferenceKernel::portable:
            return "portable";
        case ReferenceKernel::avx2:
            return "avx2";
        case ReferenceKernel::avx512:
            return "avx512";
    }
    return "unknown";
}

ReferenceKernel selectedReferenceKernel() {
    if (referenceKernelAvailable(ReferenceKernel::avx512)) {
        return ReferenceKernel::avx512;
    }
    if (referenceKernelAvailable(ReferenceKernel::avx2)) {
        return ReferenceKernel::avx2;
    }
    return ReferenceKernel::portable;
}

void referenceSgemmWithKernel(ReferenceKernel kernel, int n, float alpha, const float* A, const float* B, float beta,
                              float* C) {
    blockedSgemm(referenceKernelShape(kernel), n, n, n, alpha, A, n, B, n, beta, C, n);
}

void referenceSgemm(int n, float alpha, const float* A, const float* B, float beta, float* C) {
    referenceSgemmWithKernel(selectedReferenceKernel(), n, alpha, A, B, beta, C);
}

void referenceSgemm(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C) {
    referenceSgemmColumns(shape, alpha, A, B, beta, C, 0, shape.order);
}

void referenceSgemmColumns(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C,
                           int firstColumn, int columns) {
    const int n = shape.order;
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(firstColumn) * shape.ld;
    blockedSgemm(referenceKernelShape(selectedReferenceKernel()), n, columns, n, alpha, A, shape.ld, B + offset,
                 shape.ld, beta, C + offset, shape.ld);
}
