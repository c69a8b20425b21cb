// The correctly rounded single-precision fused multiply-add that tests compare the stand-in with.
#pragma once

#include <cmath>

// fma(a, b, c) = a * b + c rounded once. std::fma gives it, except with MinGW-w64, whose C library rounds fmaf twice
// (through double); there the processor's FMA instruction, correctly rounded by IEEE 754, gives it instead, where the
// processor has one (on one without, the C library's value is all there is, and exact comparisons may fail).
#if defined(__MINGW32__) && defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("fma"))) inline float referenceFmaInstruction(float a, float b, float c) {
    return __builtin_fmaf(a, b, c);
}

inline float referenceFma(float a, float b, float c) {
    static const bool hasInstruction = __builtin_cpu_supports("fma") != 0;
    return hasInstruction ? referenceFmaInstruction(a, b, c) : std::fma(a, b, c);
}
#else
inline float referenceFma(float a, float b, float c) {
    return std::fma(a, b, c);
}
#endif
