// Relative L2 error of the device result against the host reference, and the verdict line.
#include "host/resultCheck.h"

#include <cmath>
#include <cstdio>

#include "common/matrix.h"

RelativeError relativeL2Error(const float* result, const float* reference, int elements) {
    float errorSum = 0.0f;
    float refSum = 0.0f;
    for (int i = 0; i < elements; ++i) {
        const float difference = reference[i] - result[i];
        errorSum = errorSum + difference * difference;
        refSum = refSum + reference[i] * reference[i];
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

StageResult checkResult(const float* hostC, const float* hostRef) {
    const RelativeError error = relativeL2Error(hostC, hostRef, kMatrixElements);
    if (error.referenceNormIsZero) {
        return stageFailed("!!!! reference norm is 0\n");
    }
    std::printf("%s\n", relativeErrorPasses(error.ratio) ? "PASSED" : "FAILED");
    return stageSucceeded();
}
