// The portable reference micro-kernel: an 8 x 4 tile of C in plain C++, for processors and builds without SIMD ones.
//
// Assumptions: float arithmetic rounds every operation to single precision (the build passes -ffp-contract=off or
// /fp:precise); the packed panels are laid out as packBlockA and packPanelB write them.
#include "host/referenceKernels.h"

void microKernelPortable(int kc, const float* packedA, const float* packedB, float* acc, bool accumulate) {
    float tile[kPortableMr * kPortableNr];
    for (int t = 0; t < kPortableMr * kPortableNr; ++t) {
        tile[t] = accumulate ? acc[t] : 0.0f;
    }
    const float* a = packedA;
    const float* b = packedB;
    for (int p = 0; p < kc; ++p) {
        for (int j = 0; j < kPortableNr; ++j) {
            const float bj = b[j];
            float* column = tile + static_cast<std::ptrdiff_t>(j) * kPortableMr;
            for (int i = 0; i < kPortableMr; ++i) {
                column[i] = column[i] + a[i] * bj;
            }
        }
        a += kPortableMr;
        b += kPortableNr;
    }
    for (int t = 0; t < kPortableMr * kPortableNr; ++t) {
        acc[t] = tile[t];
    }
}
