// Test-only control of the host stand-in: its devices, fault injection, slowdown, call counts, live allocations and
// its arithmetic.
//
// Only tests and the stand-in itself include this; program code never does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The version cublasGetVersion_v2 reports: the stand-in's own, above any real cuBLAS version, so that output
// from the stand-in is never mistaken for a real library's.
constexpr int kEmulatedCublasVersion = 990000;

// The devices the stand-in models: one unless KAVREL_EMULATED_DEVICES or emulatedSetDeviceCount says otherwise, at
// most kEmulatedMaxDevices. Every device reports the same name and a compute capability no real device has.
constexpr int kEmulatedDefaultDeviceCount = 1;
constexpr int kEmulatedMaxDevices = 16;
constexpr char kEmulatedDeviceName[] = "Kavrel host stand-in";
constexpr int kEmulatedComputeMajor = 99;
// One host thread computes each device's products.
constexpr int kEmulatedMultiprocessors = 1;
constexpr int kEmulatedComputeMinor = 0;

// Each device's memory unless emulatedSetDeviceMemory says otherwise: cudaMemGetInfo reports this total, and
// cudaMalloc refuses what does not fit beside the device's live allocations.
constexpr std::size_t kEmulatedDeviceMemoryBytes = std::size_t{16} << 30;

// Device d sits at PCI domain 0, bus kEmulatedFirstPciBus + d, device 0 ("0000:1A:00.0" for device 0), and its
// UUID is kEmulatedUuidPrefix followed by the byte d, with the prefix's last byte the node number
// (KAVREL_EMULATED_NODE, 0 unless set), so that stand-ins rehearsing a fleet on one machine have a UUID per GPU.
constexpr int kEmulatedFirstPciBus = 0x1A;
constexpr unsigned char kEmulatedUuidPrefix[15] = {0x4B, 0x61, 0x76, 0x72, 0x65, 0x6C, 0x40, 0x00,
                                                   0x80, 0x00, 0x45, 0x4D, 0x55, 0x00, 0x00};

// The largest slowdown factor KAVREL_EMULATED_SLOWDOWN and emulatedSetSlowdown accept.
constexpr double kEmulatedMaxSlowdown = 100.0;

// The operations the stand-in models, named as the libraries name them: the one list from which the enumerators,
// their names and the fault-list parser all derive.
// clang-format off
#define KAVREL_EMULATED_OPERATIONS(X)                                                                        \
    X(cublasCreate_v2) X(cublasGetVersion_v2) X(cublasDestroy_v2) X(cublasSetMatrix) X(cublasGetMatrix)      \
    X(cublasSgemm_v2) X(cudaHostAlloc) X(cudaFreeHost) X(cudaMalloc) X(cudaFree)                             \
    X(cudaGetDeviceCount) X(cudaSetDevice) X(cudaGetDeviceProperties) X(cudaDeviceSynchronize)               \
    X(cudaMemGetInfo) X(cudaEventCreate) X(cudaEventRecord) X(cudaEventSynchronize) X(cudaEventElapsedTime)  \
    X(cudaEventDestroy) X(cudaDeviceGetPCIBusId) X(cublasSetPointerMode_v2) X(cublasSetMathMode)              \
    X(cublasScopy_v2) X(cublasSaxpy_v2) X(cublasSasum_v2)
// clang-format on

#define KAVREL_EMULATED_ENUMERATOR(name) name,
enum class EmulatedOperation : int { KAVREL_EMULATED_OPERATIONS(KAVREL_EMULATED_ENUMERATOR) count };
#undef KAVREL_EMULATED_ENUMERATOR

// The operation's name as the libraries spell it; null for count or any value outside the list.
const char* emulatedOperationName(EmulatedOperation operation);

// A call is counted on the device it acts on: the device it names (cudaSetDevice, cudaGetDeviceProperties,
// cudaDeviceGetPCIBusId, when the index is a modelled device), otherwise the calling thread's current device.

// Makes the callNumber-th call (counting from 1 since start-up or the last reset) of the operation on the device
// fail with a non-zero status, leaving its outputs untouched. A device outside 0..kEmulatedMaxDevices-1 is ignored.
void emulatedInjectFault(EmulatedOperation operation, long callNumber, int device = 0);

// Makes the callNumber-th cublasSgemm_v2 call on the device write a NaN into its output when its work runs.
void emulatedInjectCorruption(long sgemmCallNumber, int device = 0);

// Whether the operation writes results into device memory that a corruption can spoil: cublasSgemm_v2,
// cublasScopy_v2, cublasSaxpy_v2 and cublasSasum_v2 (whose result, in device pointer mode, lies on the device).
bool emulatedCorruptible(EmulatedOperation operation);

// Makes the callNumber-th call of a corruptible operation on the device write a NaN into the first element of its
// output when its work runs (a sum's result becomes NaN); does nothing for any other operation.
void emulatedInjectCorruption(EmulatedOperation operation, long callNumber, int device = 0);

// Makes the callNumber-th call of the operation on the device block, as a call into a hung driver does, until the
// process ends or emulatedReleaseHangs lets it go (it then fails). It blocks holding no lock of the stand-in, so
// every other device and the rest of the process go on.
void emulatedInjectHang(EmulatedOperation operation, long callNumber, int device = 0);

// Calls blocked by a planned hang now.
long emulatedHungCalls();

// Lets every call blocked by a planned hang go, failing, so that a test can end the threads it left behind.
void emulatedReleaseHangs();

// Forgets every injected fault, hang, corruption and slowdown, sets all call counts back to zero, models one device
// with kEmulatedDeviceMemoryBytes again and makes device 0 the calling thread's current device. Allocations, contexts,
// events and queued work are left as they are.
void emulatedResetFaults();

// Calls of the operation on the device since start-up or the last reset, failed ones included; 0 for a device
// outside 0..kEmulatedMaxDevices-1.
long emulatedCallCount(EmulatedOperation operation, int device = 0);

// The largest node number KAVREL_EMULATED_NODE and emulatedSetNodeNumber take.
constexpr int kEmulatedMaxNodeNumber = 255;

// Writes node (0 to kEmulatedMaxNodeNumber) into every device's UUID; false, changing nothing, for any other.
bool emulatedSetNodeNumber(int node);

// Models count devices, 1 to kEmulatedMaxDevices; false, changing nothing, for any other count.
bool emulatedSetDeviceCount(int count);

// The devices modelled now.
int emulatedDeviceCount();

// Models bytes of memory on every device, so that tests can fill a device without using that much host memory;
// false, changing nothing, for 0. A device already holding more has none free.
bool emulatedSetDeviceMemory(std::size_t bytes);

// Makes every unit of the device's work (a copy, an SGEMM's or a level-1 call's execution) take factor times as long
// as it does, by waiting (factor - 1) times its measured time after it; 1 is full speed. With fromSeconds above 0,
// only work that starts that long after the stand-in started (emulatedStartTime) is slowed, as when a GPU's clocks
// drop during a run. False, changing nothing, when the device is outside 0..kEmulatedMaxDevices-1, factor is not
// from 1 to kEmulatedMaxSlowdown or fromSeconds is negative.
bool emulatedSetSlowdown(int device, double factor, double fromSeconds = 0.0);

// When the stand-in started: it reads its environment before main.
std::chrono::steady_clock::time_point emulatedStartTime();

// Live allocations, contexts and events handed out and not yet released, on all devices together.
long emulatedLiveDeviceAllocations();
long emulatedLiveHostAllocations();
long emulatedLiveContexts();
long emulatedLiveEvents();

// cublasSgemm_v2 calls since start-up whose work computed their product, as opposed to finding it already in place:
// on all devices together, or on one.
long emulatedComputedProducts();
long emulatedComputedProducts(int device);

// A device's memory epoch: every allocation, release, copy that changes its bytes, SGEMM write and corruption on it
// moves it; a copy that changes no device byte does not. A product is reused only while the epoch of its device
// stands where that product's write left it.
std::uint64_t emulatedDeviceEpoch(int device = 0);

// Releases every allocation, context and event still live and drops queued work, on every device, so that a test
// that deliberately leaves them behind (as the program's failure paths do) does not disturb the next one.
void emulatedReleaseEverything();

// Writes "computed_products N", the "live_device_allocations", "live_host_allocations", "live_contexts" and
// "live_events" counts, then one "OPERATION N" line per operation with its call count on all devices together, in
// the operations' order, then for each modelled device D "device D computed_products N" and
// "device D OPERATION N" lines, to the file at path, replacing it; false when it cannot be written. At process exit
// the stand-in does this for the file KAVREL_EMULATED_STATS names, when that is set at start-up.
bool emulatedWriteStats(const char* path);

// One planned fault: the callNumber-th call of the operation on the device fails or hangs, or, for a corruption,
// the callNumber-th call of a corruptible operation on the device writes a NaN into its output.
struct EmulatedFault {
    bool corruption;
    bool hang;                    // the call blocks instead of failing
    EmulatedOperation operation;  // the corrupted one for a corruption, cublasSgemm_v2 unless the item names another
    long callNumber;
    int device;        // 0 when the item names none
    std::string item;  // the item as written
};

// A parsed KAVREL_EMULATED_FAULTS value: its faults in order, or the first item that is not OPERATION:N,
// OPERATION:N@DEVICE, or one of those after "hang:".
struct EmulatedFaultList {
    bool valid;
    std::string badItem;  // set when not valid
    std::vector<EmulatedFault> faults;
};

// Parses comma-separated OPERATION:N or OPERATION:N@DEVICE items, OPERATION a library operation name or "corrupt",
// N a positive decimal count that fits in a long and DEVICE a decimal index that fits in an int, both with no sign
// or other characters; "hang:" before a library operation's item makes that call hang instead of failing, and
// "corrupt:" before a corruptible operation's item corrupts that call's output ("corrupt:N" alone is
// "corrupt:cublasSgemm_v2:N"). An empty text holds no faults.
EmulatedFaultList emulatedParseFaults(const char* text);

// The line the stand-in writes to standard error before ending the process when KAVREL_EMULATED_FAULTS
// holds the bad item; no line break at its end.
std::string emulatedBadFaultsMessage(const std::string& badItem);

// The line the stand-in writes to standard error at start-up, and then goes on, for an item of the variable
// (KAVREL_EMULATED_FAULTS or KAVREL_EMULATED_SLOWDOWN) naming a device at or above the modelled count, which can
// therefore never take effect; no line break at its end.
std::string emulatedUnreachableItemMessage(const char* variable, const std::string& item, int deviceCount);

// A parsed KAVREL_EMULATED_DEVICES value: the count, or not valid.
struct EmulatedDeviceCount {
    bool valid;
    int count;
};

// Parses a decimal count from 1 to kEmulatedMaxDevices with no sign or other characters; an empty text is 1.
EmulatedDeviceCount emulatedParseDeviceCount(const char* text);

// One device's slowdown.
struct EmulatedSlowdown {
    int device;
    double factor;
    double fromSeconds;  // since the stand-in started; 0 from the start
    std::string item;    // the item as written
};

// A parsed KAVREL_EMULATED_SLOWDOWN value: its slowdowns in order, or the first item that is not DEVICE:FACTOR.
struct EmulatedSlowdownList {
    bool valid;
    std::string badItem;  // set when not valid
    std::vector<EmulatedSlowdown> slowdowns;
};

// Parses comma-separated DEVICE:FACTOR or DEVICE:FACTOR@TIME items, DEVICE a decimal index that fits in an int,
// named at most once, FACTOR digits with an optional decimal point and digits after it, from 1 to
// kEmulatedMaxSlowdown, and TIME digits with the unit s or ms, at most a week: the slowdown holds from then on. An
// empty text holds no slowdowns.
EmulatedSlowdownList emulatedParseSlowdowns(const char* text);

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
