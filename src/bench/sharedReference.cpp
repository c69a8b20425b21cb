// The test data filled once on the host and its reference product spread over the host's cores.
#include "bench/sharedReference.h"

#include <algorithm>
#include <new>
#include <thread>
#include <vector>

#include "host/referenceSgemm.h"
#include "host/testMatrices.h"

namespace bench {

void parallelReferenceSgemm(MatrixShape shape, float alpha, const float* A, const float* B, float beta, float* C,
                            int threads) {
    const int parts = std::max(1, std::min(threads, shape.order));
    std::vector<std::thread> workers;
    int first = 0;
    for (int part = 0; part < parts; ++part) {
        const int columns = (shape.order - first) / (parts - part);
        if (part == parts - 1) {
            referenceSgemmColumns(shape, alpha, A, B, beta, C, first, columns);
        } else {
            workers.emplace_back(referenceSgemmColumns, shape, alpha, A, B, beta, C, first, columns);
        }
        first += columns;
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

std::unique_ptr<float[]> computeSharedReference(MatrixShape shape, float alpha, float beta) {
    const std::size_t elements = storedElements(shape);
    // Zeroed, so that the padding between columns, which the fill leaves alone, holds the same bits every time.
    std::unique_ptr<float[]> A(new (std::nothrow) float[elements]());
    std::unique_ptr<float[]> B(new (std::nothrow) float[elements]());
    std::unique_ptr<float[]> C(new (std::nothrow) float[elements]());
    std::unique_ptr<float[]> reference(new (std::nothrow) float[elements]());
    if (!A || !B || !C || !reference) {
        return nullptr;
    }
    fillTestData(shape, A.get(), B.get(), C.get(), reference.get());
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    parallelReferenceSgemm(shape, alpha, A.get(), B.get(), beta, reference.get(), cores);
    return reference;
}

}  // namespace bench
