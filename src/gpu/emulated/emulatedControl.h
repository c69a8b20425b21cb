// Test-only control of the host stand-in: fault injection, call counts, live allocations and its arithmetic.
//
// Only tests and the stand-in itself include this; program code never does.
#pragma once

#include <cstdint>
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

// The operations the stand-in models, named as the libraries name them: the one list from which the enumerators,
// their names and the fault-list parser all derive.
// clang-format off
#define KAVREL_EMULATED_OPERATIONS(X)                                                                        \
    X(cublasCreate_v2) X(cublasGetVersion_v2) X(cublasDestroy_v2) X(cublasSetMatrix) X(cublasGetMatrix)      \
    X(cublasSgemm_v2) X(cudaHostAlloc) X(cudaFreeHost) X(cudaMalloc) X(cudaFree)                             \
    X(cudaGetDeviceCount) X(cudaSetDevice) X(cudaGetDeviceProperties) X(cudaDeviceSynchronize)
// clang-format on

#define KAVREL_EMULATED_ENUMERATOR(name) name,
enum class EmulatedOperation : int { KAVREL_EMULATED_OPERATIONS(KAVREL_EMULATED_ENUMERATOR) count };
#undef KAVREL_EMULATED_ENUMERATOR

// The operation's name as the libraries spell it; null for count or any value outside the list.
const char* emulatedOperationName(EmulatedOperation operation);

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

// cublasSgemm_v2 calls since start-up that computed their product, as opposed to finding it already in place.
long emulatedComputedProducts();

// The device-memory epoch: every allocation, release, copy that changes device bytes, SGEMM write and corruption
// moves it; a copy that changes no device byte does not. A product is reused only while the epoch stands where
// that product's write left it.
std::uint64_t emulatedDeviceEpoch();

// Releases every allocation and context still live, so that a test that deliberately leaves
// them behind (as the program's failure paths do) does not disturb the next one.
void emulatedReleaseEverything();

// Writes "computed_products N" and then one "OPERATION N" line per operation with its call count, in the
// operations' order, to the file at path, replacing it; false when it cannot be written. At process exit the
// stand-in does this for the file KAVREL_EMULATED_STATS names, when that is set at start-up.
bool emulatedWriteStats(const char* path);

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

// a * b + c rounded once to the nearest float, ties to even, with the processor's fused multiply-add instruction.
// Call it only when emulatedHardwareFmaAvailable() is true.
float emulatedHardwareFma(float a, float b, float c);

// The same result computed without that instruction, for processors that lack it.
float emulatedFallbackFma(float a, float b, float c);

// Whether this build and this processor have the fused multiply-add instruction.
bool emulatedHardwareFmaAvailable();

// Makes cublasSgemm_v2 compute with the instruction when hardware is true and it is available (the default), and
// with the fallback otherwise.
void emulatedUseHardwareFma(bool hardware);
