// Relative L2 error of the device result against the host reference, and the verdict drawn from it.
#include "host/resultCheck.h"

#include <cmath>

RelativeError relativeL2Error(MatrixShape shape, const float* result, const float* reference) {
    float errorSum = 0.0f;
    float refSum = 0.0f;
    for (int j = 0; j < shape.order; ++j) {
        const std::size_t column = static_cast<std::size_t>(j) * static_cast<std::size_t>(shape.ld);
        for (int i = 0; i < shape.order; ++i) {
            const std::size_t index = column + static_cast<std::size_t>(i);
            const float difference = reference[index] - result[index];
            errorSum = errorSum + difference * difference;
            refSum = refSum + reference[index] * reference[index];
        }
    }

    const auto refNorm = static_cast<float>(std::sqrt(static_cast<double>(refSum)));
    // A NaN norm is not below the threshold: the check goes on and the ratio fails.
    if (std::fabs(static_cast<double>(refNorm)) < kZeroNormThreshold) {
        return RelativeError{true, 0.0f};
    }
    const auto errorNorm = static_cast<float>(std::sqrt(static_cast<double>(errorSum)));
    return RelativeError{false, errorNorm / refNorm};
}

bool relativeErrorPasses(float ratio) {
    return ratio < kPassThreshold;
}

float relativeErrorThreshold(int order, bool tf32) {
    const double n = static_cast<double>(order);
    if (tf32) {
        return static_cast<float>(std::ldexp(1.0, -9) + 3.0 * n * std::ldexp(1.0, -24));
    }
    if (order <= kMatrixOrder) {
        return kPassThreshold;
    }
    return static_cast<float>(static_cast<double>(kPassThreshold) * std::sqrt(n / kMatrixOrder));
}

bool relativeErrorPasses(float ratio, float threshold) {
    return ratio < threshold;
}

const char* verdictText(Verdict verdict) {
    return verdict == Verdict::passed ? "PASSED" : "FAILED";
}

StageResult checkResult(MatrixShape shape, const float* hostC, const float* hostRef, Verdict* verdict) {
    const RelativeError error = relativeL2Error(shape, hostC, hostRef);
    if (error.referenceNormIsZero) {
        return stageFailed("!!!! reference norm is 0\n");
    }
    *verdict = relativeErrorPasses(error.ratio) ? Verdict::passed : Verdict::failed;
    return stageSucceeded();
}
