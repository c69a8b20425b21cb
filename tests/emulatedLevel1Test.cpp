// Tests of the host stand-in's level-1 operations, pointer modes and TF32 math: what each computes and when, where
// its scalars must lie, and its planned faults and corruptions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"
#include "support/standInProblems.h"

namespace {

cublasHandle_t liveHandle() {
    cublasHandle_t handle = nullptr;
    EXPECT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    return handle;
}

// A device buffer holding the values.
float* onDevice(const std::vector<float>& values) {
    float* device = deviceFloats(static_cast<int>(values.size()));
    uploadAll(values, device);
    return device;
}

// The float with the bits given, for values defined by their bits.
float fromBits(std::uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

TEST(EmulatedLevel1, CopyAxpyAndSumRunInQueueOrderWithScalarsOnTheDevice) {
    emulatedResetFaults();
    cublasHandle_t handle = liveHandle();
    ASSERT_EQ(cublasSetPointerMode_v2(handle, CUBLAS_POINTER_MODE_DEVICE), CUBLAS_STATUS_SUCCESS);
    const std::vector<float> x{1.5f, -2.0f, 0.25f, 4.0f};
    const std::vector<float> y{1.0f, 1.0f, 1.0f, 1.0f};
    float* devX = onDevice(x);
    float* devY = onDevice(y);
    float* scalars = onDevice({-1.0f, kSentinel, kSentinel});
    // y := x; y := -1 * x + y (0 everywhere); sum |y| into scalars[1]; then x's sum into scalars[2].
    EXPECT_EQ(cublasScopy_v2(handle, 4, devX, 1, devY, 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSaxpy_v2(handle, 4, scalars, devX, 1, devY, 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSasum_v2(handle, 4, devY, 1, scalars + 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSasum_v2(handle, 4, devX, 1, scalars + 2), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSasum_v2), 2);
    const std::vector<float> sums = downloadAll(scalars, 3);
    EXPECT_EQ(sums[1], 0.0f);
    EXPECT_EQ(sums[2], 7.75f);
    EXPECT_EQ(downloadAll(devY, 4), std::vector<float>(4, 0.0f));

    // A NaN anywhere makes the sum NaN; in host pointer mode the sum is written before the call returns.
    uploadAll({1.0f, kNaN, 2.0f, 3.0f}, devX);
    ASSERT_EQ(cublasSetPointerMode_v2(handle, CUBLAS_POINTER_MODE_HOST), CUBLAS_STATUS_SUCCESS);
    float sum = 0.0f;
    EXPECT_EQ(cublasSasum_v2(handle, 4, devX, 1, &sum), CUBLAS_STATUS_SUCCESS);
    EXPECT_TRUE(std::isnan(sum));
    EXPECT_EQ(cublasSasum_v2(handle, 0, nullptr, 1, &sum), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(sum, 0.0f) << "no elements sum to 0";
    emulatedReleaseEverything();
}

TEST(EmulatedLevel1, ScalarsMustLieWhereThePointerModeSaysAndOnlyUnitStridesAreModelled) {
    emulatedResetFaults();
    cublasHandle_t handle = liveHandle();
    float* devX = onDevice({1.0f, 2.0f});
    float* devY = onDevice({3.0f, 4.0f});
    float* devScalar = onDevice({2.0f});
    const float hostScalar = 2.0f;
    float hostResult = kSentinel;
    // Host mode: a scalar in device memory is one the library could not read.
    EXPECT_EQ(cublasSaxpy_v2(handle, 2, devScalar, devX, 1, devY, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSasum_v2(handle, 2, devX, 1, devScalar), CUBLAS_STATUS_INVALID_VALUE);
    Problem p = makeProblem(2, 2, 2, 0, 3);
    EXPECT_EQ(cublasSgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, devScalar, p.devA, 2, p.devB, 2, devScalar,
                             p.devC, 2),
              CUBLAS_STATUS_INVALID_VALUE);
    // Device mode: a scalar in host memory is one the GPU could not read.
    ASSERT_EQ(cublasSetPointerMode_v2(handle, CUBLAS_POINTER_MODE_DEVICE), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSaxpy_v2(handle, 2, &hostScalar, devX, 1, devY, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSasum_v2(handle, 2, devX, 1, &hostResult), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetPointerMode_v2(handle, static_cast<cublasPointerMode_t>(2)), CUBLAS_STATUS_INVALID_VALUE);
    // Strides other than 1, vectors outside the device's memory, and dead contexts.
    EXPECT_EQ(cublasScopy_v2(handle, 1, devX, 2, devY, 1), CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(cublasScopy_v2(handle, 3, devX, 1, devY, 1), CUBLAS_STATUS_INVALID_VALUE);
    std::vector<float> host(2, 0.0f);
    EXPECT_EQ(cublasScopy_v2(handle, 2, host.data(), 1, devY, 1), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasScopy_v2(handle, 2, devX, 1, devY, 1), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasSetMathMode(handle, CUBLAS_TF32_TENSOR_OP_MATH), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(downloadAll(devY, 2), (std::vector<float>{3.0f, 4.0f})) << "no refused call wrote anything";
    emulatedReleaseEverything();
}

// One level-1 operation: how to call it on x (two elements) into y or the sum, in device pointer mode.
struct Level1Row {
    const char* name;
    EmulatedOperation operation;
    cublasStatus_t (*call)(cublasHandle_t handle, float* x, float* y, float* scalars);
    bool writesY;  // else it writes scalars[1]
};

void PrintTo(const Level1Row& row, std::ostream* out) {
    *out << row.name;
}

class EmulatedLevel1Fault : public testing::TestWithParam<Level1Row> {};

TEST_P(EmulatedLevel1Fault, APlannedFailureWritesNothingAndAPlannedCorruptionWritesANaN) {
    const Level1Row& row = GetParam();
    emulatedResetFaults();
    cublasHandle_t handle = liveHandle();
    ASSERT_EQ(cublasSetPointerMode_v2(handle, CUBLAS_POINTER_MODE_DEVICE), CUBLAS_STATUS_SUCCESS);
    float* devX = onDevice({1.0f, 2.0f});
    float* devY = onDevice({5.0f, 6.0f});
    float* scalars = onDevice({-1.0f, kSentinel});
    emulatedInjectFault(row.operation, 1);
    emulatedInjectCorruption(row.operation, 2);
    EXPECT_NE(row.call(handle, devX, devY, scalars), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(downloadAll(devY, 2), (std::vector<float>{5.0f, 6.0f}));
    EXPECT_EQ(downloadAll(scalars, 2)[1], kSentinel);

    EXPECT_EQ(row.call(handle, devX, devY, scalars), CUBLAS_STATUS_SUCCESS);
    const float written = row.writesY ? downloadAll(devY, 2)[0] : downloadAll(scalars, 2)[1];
    EXPECT_TRUE(std::isnan(written)) << written;
    EXPECT_EQ(emulatedCallCount(row.operation), 2);
    emulatedReleaseEverything();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, EmulatedLevel1Fault,
    testing::Values(
        Level1Row{"Copy", EmulatedOperation::cublasScopy_v2,
                  [](cublasHandle_t h, float* x, float* y, float*) { return cublasScopy_v2(h, 2, x, 1, y, 1); }, true},
        Level1Row{"Axpy", EmulatedOperation::cublasSaxpy_v2,
                  [](cublasHandle_t h, float* x, float* y, float* s) { return cublasSaxpy_v2(h, 2, s, x, 1, y, 1); },
                  true},
        Level1Row{"Sum", EmulatedOperation::cublasSasum_v2,
                  [](cublasHandle_t h, float* x, float*, float* s) { return cublasSasum_v2(h, 2, x, 1, s + 1); },
                  false}),
    [](const testing::TestParamInfo<Level1Row>& info) { return std::string(info.param.name); });

TEST(EmulatedMathMode, Tf32RoundsEachInputToTenFractionBitsTiesToEvenAndTheDefaultDoesNot) {
    emulatedResetFaults();
    cublasHandle_t handle = liveHandle();
    // A 1 x 1 x 1 product a * 1 is a as SGEMM takes it.
    const struct {
        float a;
        float tf32;
    } cases[] = {
        {1.0f + std::ldexp(1.0f, -12), 1.0f},                             // below half a step: down
        {1.0f + std::ldexp(1.0f, -11), 1.0f},                             // a tie, to the even 1
        {1.0f + 3 * std::ldexp(1.0f, -11), 1.0f + std::ldexp(1.0f, -9)},  // a tie, to the even 1 + 2^-9
        {1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -23), 1.0f + std::ldexp(1.0f, -10)},  // above the tie: up
        {-(1.0f + std::ldexp(1.0f, -12)), -1.0f},                                              // the sign stays
        {fromBits(0x7F7FFFFFu), INFINITY},  // the largest float rounds past it
        {fromBits(0x00000001u), 0.0f},      // the smallest subnormal goes
    };
    for (const auto& c : cases) {
        Problem p = makeProblem(1, 1, 1, 0, 1);
        uploadAll({c.a}, p.devA);
        uploadAll({1.0f}, p.devB);
        ASSERT_EQ(cublasSetMathMode(handle, CUBLAS_TF32_TENSOR_OP_MATH), CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        EXPECT_EQ(downloadAll(p.devC, 1)[0], c.tf32) << c.a;
        ASSERT_EQ(cublasSetMathMode(handle, CUBLAS_DEFAULT_MATH), CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        EXPECT_EQ(downloadAll(p.devC, 1)[0], c.a) << "the default math keeps every bit";
    }
    // Modes the stand-in does not model are refused rather than taken as the default.
    EXPECT_EQ(cublasSetMathMode(handle, CUBLAS_PEDANTIC_MATH), CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(cublasSetMathMode(handle, CUBLAS_TENSOR_OP_MATH), CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(cublasSetMathMode(handle, static_cast<cublasMath_t>(CUBLAS_TF32_TENSOR_OP_MATH |
                                                                  CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION)),
              CUBLAS_STATUS_SUCCESS);
    emulatedReleaseEverything();
}
