// Test-only control of the host stand-in: fault injection, call counts and live allocations.
//
// Only tests and the stand-in itself include this; program code never does.
#pragma once

#include <string>
#include <vector>

// The version cublasGetVersion_v2 reports: the stand-in's own, above any real cuBLAS version, so that output
// from the stand-in is never mistaken for a real library's.
constexpr int kEmulatedCublasVersion = 990000;

// The one device the stand-in has, index 0, and what cudaGetDeviceProperties reports for it: a name and a compute
// capability no real device has.
constexpr int kEmulatedDeviceCount = 1;
constexpr char kEmulatedDeviceName[] = "Kavrel host stand-in";
constexpr int kEmulatedComputeMajor = 99;
constexpr int kEmulatedComputeMinor = 0;

// The operations the stand-in models, named as the libraries name them.
enum class EmulatedOperation : int {
    cublasCreate_v2,
    cublasGetVersion_v2,
    cublasDestroy_v2,
    cublasSetMatrix,
    cublasGetMatrix,
    cublasSgemm_v2,
    cudaHostAlloc,
    cudaFreeHost,
    cudaMalloc,
    cudaFree,
    cudaGetDeviceCount,
    cudaSetDevice,
    cudaGetDeviceProperties,
    cudaDeviceSynchronize,
    count
};

// Makes the callNumber-th call (counting from 1 since start-up or the last reset) of the
// operation fail with a non-zero status, leaving its outputs untouched.
void emulatedInjectFault(EmulatedOperation operation, long callNumber);

// Makes the callNumber-th cublasSgemm_v2 call write a NaN into its output.
void emulatedInjectCorruption(long sgemmCallNumber);

// Forgets every injected fault and corruption and sets all call counts back to zero.
// Allocations and contexts are left as they are.
void emulatedResetFaults();

// Calls of the operation since start-up or the last reset, failed ones included.
long emulatedCallCount(EmulatedOperation operation);

// Live allocations and contexts handed out and not yet released.
long emulatedLiveDeviceAllocations();
long emulatedLiveHostAllocations();
long emulatedLiveContexts();

// cublasSgemm_v2 calls that computed their product, as opposed to finding it already in place.
long emulatedComputedProducts();

// Releases every allocation and context still live, so that a test that deliberately leaves
// them behind (as the program's failure paths do) does not disturb the next one.
void emulatedReleaseEverything();

// One planned fault: the callNumber-th call of the operation fails, or, for a corruption, the
// callNumber-th cublasSgemm_v2 call writes a NaN into its output.
struct EmulatedFault {
    bool corruption;
    EmulatedOperation operation;  // cublasSgemm_v2 for a corruption
    long callNumber;
};

// A parsed KAVREL_EMULATED_FAULTS value: its faults in order, or the first item that is not OPERATION:N.
struct EmulatedFaultList {
    bool valid;
    std::string badItem;  // set when not valid
    std::vector<EmulatedFault> faults;
};

// Parses comma-separated OPERATION:N items, OPERATION a library operation name or "corrupt", N a positive
// decimal count that fits in a long with no sign or other characters. An empty text holds no faults.
EmulatedFaultList emulatedParseFaults(const char* text);

// The line the stand-in writes to standard error before ending the process when KAVREL_EMULATED_FAULTS
// holds the bad item; no line break at its end.
std::string emulatedBadFaultsMessage(const std::string& badItem);

// The ways the stand-in can compute a product; all of them give the same bits.
enum class EmulatedSgemmKernel { portable, avx2, avx512 };

// Whether this build and this processor can run the kernel.
bool emulatedSgemmKernelAvailable(EmulatedSgemmKernel kernel);

// The fastest available kernel, the one cublasSgemm_v2 uses unless told otherwise.
EmulatedSgemmKernel emulatedFastestSgemmKernel();

// Makes cublasSgemm_v2 compute with the kernel from now on; false, changing nothing, when it is not available.
bool emulatedUseSgemmKernel(EmulatedSgemmKernel kernel);
