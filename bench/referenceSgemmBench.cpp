// Times the host reference SGEMM, on every kernel this processor runs, against the literal triple loop for n = 1000.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "host/referenceSgemm.h"
#include "host/testMatrices.h"
#include "support/literalSgemm.h"

namespace {

// The program's scalars.
constexpr float kAlpha = 1.0f;
constexpr float kBeta = 0.0f;
constexpr const char* kLiteralName = "BM_LiteralTripleLoop";
constexpr const char* kReferenceName = "BM_ReferenceSgemm";

// The program's test matrices; C is overwritten by every run, which with beta = 0 leaves the work unchanged.
struct Operands {
    std::vector<float> A;
    std::vector<float> B;
    std::vector<float> C;
    std::vector<float> reference;
};

Operands& operands() {
    static Operands data = [] {
        Operands made{std::vector<float>(kMatrixElements), std::vector<float>(kMatrixElements),
                      std::vector<float>(kMatrixElements), std::vector<float>(kMatrixElements)};
        fillTestData(kTestMatrixShape, made.A.data(), made.B.data(), made.C.data(), made.reference.data());
        return made;
    }();
    return data;
}

void BM_LiteralTripleLoop(benchmark::State& state) {
    Operands& data = operands();
    for (auto _ : state) {
        literalSgemm(kMatrixOrder, kAlpha, data.A.data(), data.B.data(), kBeta, data.C.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LiteralTripleLoop)->Unit(benchmark::kMillisecond);

void BM_ReferenceSgemm(benchmark::State& state) {
    Operands& data = operands();
    for (auto _ : state) {
        referenceSgemm(kMatrixOrder, kAlpha, data.A.data(), data.B.data(), kBeta, data.C.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(referenceKernelName(selectedReferenceKernel()));
}
BENCHMARK(BM_ReferenceSgemm)->Unit(benchmark::kMillisecond);

void BM_ReferenceSgemmKernel(benchmark::State& state, ReferenceKernel kernel) {
    Operands& data = operands();
    for (auto _ : state) {
        referenceSgemmWithKernel(kernel, kMatrixOrder, kAlpha, data.A.data(), data.B.data(), kBeta, data.C.data());
        benchmark::ClobberMemory();
    }
}

// Whether a run ended without a time: Google Benchmark 1.8 replaced the flag error_occurred (1.7) by skipped, set for
// a run that was skipped or failed. Overload resolution picks whichever member the installed version has.
template <typename Run>
auto runHasNoTime(const Run& run, int) -> decltype(static_cast<bool>(run.skipped)) {
    return static_cast<bool>(run.skipped);
}
template <typename Run>
auto runHasNoTime(const Run& run, long) -> decltype(static_cast<bool>(run.error_occurred)) {
    return static_cast<bool>(run.error_occurred);
}

// Prints as the console reporter does, and keeps the fastest real time, in milliseconds, of every benchmark.
class RealTimeCapture : public benchmark::ConsoleReporter {
public:
    // Plain text: the library's --benchmark_color only reaches the reporter it makes itself.
    RealTimeCapture() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (runHasNoTime(run, 0) || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const std::string name = run.run_name.function_name;
            const double milliseconds = run.GetAdjustedRealTime();
            const auto known = fastestMilliseconds.find(name);
            if (known == fastestMilliseconds.end() || milliseconds < known->second) {
                fastestMilliseconds[name] = milliseconds;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> fastestMilliseconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    for (ReferenceKernel kernel : {ReferenceKernel::portable, ReferenceKernel::avx2, ReferenceKernel::avx512}) {
        if (referenceKernelAvailable(kernel)) {
            const std::string name = std::string("BM_ReferenceSgemmKernel/") + referenceKernelName(kernel);
            benchmark::RegisterBenchmark(name.c_str(), BM_ReferenceSgemmKernel, kernel)->Unit(benchmark::kMillisecond);
        }
    }

    RealTimeCapture reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto literal = reporter.fastestMilliseconds.find(kLiteralName);
    const auto reference = reporter.fastestMilliseconds.find(kReferenceName);
    if (literal != reporter.fastestMilliseconds.end() && reference != reporter.fastestMilliseconds.end()) {
        std::printf("literal loop: %.1f ms, referenceSgemm (%s kernel): %.2f ms\n", literal->second,
                    referenceKernelName(selectedReferenceKernel()), reference->second);
        std::printf("speed-up of referenceSgemm over the literal loop: %.1fx\n", literal->second / reference->second);
    }
    return 0;
}
