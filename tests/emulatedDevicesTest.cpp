// Tests of the host stand-in's many devices: identity and selection, per-device faults, the variables read at
// start-up, slowdown, queued SGEMM work, events, memory info and devices working side by side.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gpu/emulated/emulatedControl.h"
#include "gpu/gpuLibrary.h"
#include "support/environmentVariable.h"
#include "support/standInProblems.h"
#include "support/standInTest.h"

namespace {

using Clock = std::chrono::steady_clock;
using EmulatedDevices = StandInTest;
using EmulatedAsync = StandInTest;
using EmulatedEvents = StandInTest;
using EmulatedMemoryInfo = StandInTest;
using EmulatedSlowedDevice = StandInTest;
using EmulatedConcurrency = StandInTest;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double smallest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// Every element of the problem's C on the device equals the stand-in's fused product.
void expectProduct(const Problem& p, float alpha, const std::vector<float>& c, const char* what) {
    for (int j = 0; j < p.n; ++j) {
        for (int i = 0; i < p.m; ++i) {
            ASSERT_EQ(c[j * p.ldc + i], fusedElement(p, alpha, 0.0f, i, j)) << what << " element " << i << "," << j;
        }
    }
}

// Selects the device, failing the test when the stand-in refuses.
void selectDevice(int device) {
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess) << device;
}

// The file's whole text.
std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST_F(EmulatedDevices, EachHasItsOwnIdentityAndSelectionBelongsToTheCallingThread) {
    ASSERT_FALSE(emulatedSetDeviceCount(0));
    ASSERT_FALSE(emulatedSetDeviceCount(kEmulatedMaxDevices + 1));
    ASSERT_TRUE(emulatedSetDeviceCount(3));
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 3);

    const char* const busIds[] = {"0000:1A:00.0", "0000:1B:00.0", "0000:1C:00.0"};
    std::vector<std::string> uuids;
    for (int device = 0; device < 3; ++device) {
        cudaDeviceProp properties{};
        ASSERT_EQ(cudaGetDeviceProperties(&properties, device), cudaSuccess);
        EXPECT_STREQ(properties.name, kEmulatedDeviceName);
        EXPECT_EQ(properties.major, kEmulatedComputeMajor);
        EXPECT_EQ(properties.minor, kEmulatedComputeMinor);
        EXPECT_EQ(properties.pciDomainID, 0);
        EXPECT_EQ(properties.pciBusID, 0x1A + device);
        EXPECT_EQ(properties.pciDeviceID, 0);
        EXPECT_EQ(std::memcmp(properties.uuid.bytes, kEmulatedUuidPrefix, sizeof kEmulatedUuidPrefix), 0);
        EXPECT_EQ(properties.uuid.bytes[15], device);
        uuids.emplace_back(properties.uuid.bytes, sizeof properties.uuid.bytes);
        char busId[13];
        std::memset(busId, 'x', sizeof busId);
        ASSERT_EQ(cudaDeviceGetPCIBusId(busId, sizeof busId, device), cudaSuccess);
        EXPECT_STREQ(busId, busIds[device]);
        EXPECT_EQ(cudaDeviceGetPCIBusId(busId, sizeof busId - 1, device), cudaErrorInvalidValue) << "no room for null";
    }
    std::sort(uuids.begin(), uuids.end());
    EXPECT_EQ(std::unique(uuids.begin(), uuids.end()), uuids.end()) << "UUIDs repeat";

    char busId[32];
    cudaDeviceProp untouched{};
    untouched.major = -5;
    for (const int missing : {3, -1, kEmulatedMaxDevices}) {
        EXPECT_EQ(cudaSetDevice(missing), cudaErrorInvalidDevice) << missing;
        EXPECT_EQ(cudaGetDeviceProperties(&untouched, missing), cudaErrorInvalidDevice) << missing;
        EXPECT_EQ(cudaDeviceGetPCIBusId(busId, sizeof busId, missing), cudaErrorInvalidDevice) << missing;
    }
    EXPECT_EQ(untouched.major, -5);

    // This thread works on device 2; a new thread starts on device 0 whatever this one selected.
    selectDevice(2);
    void* here = nullptr;
    ASSERT_EQ(cudaMalloc(&here, 64), cudaSuccess);
    std::thread([] {
        void* there = nullptr;
        EXPECT_EQ(cudaMalloc(&there, 64), cudaSuccess);
        EXPECT_EQ(cudaFree(there), cudaSuccess);
    }).join();
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc, 2), 1);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc, 0), 1);
    EXPECT_EQ(cudaFree(here), cudaSuccess);
}

TEST_F(EmulatedDevices, CallsAndFaultsAreCountedOnTheDeviceTheyActOn) {
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    emulatedInjectFault(EmulatedOperation::cudaMalloc, 1, 1);
    emulatedInjectFault(EmulatedOperation::cudaSetDevice, 2, 1);
    emulatedInjectCorruption(1, 1);
    void* const untouched = reinterpret_cast<void*>(std::uintptr_t{0x1234});
    void* memory = untouched;
    EXPECT_EQ(cudaMalloc(&memory, 16), cudaSuccess) << "device 0's first allocation";
    selectDevice(1);
    memory = untouched;
    EXPECT_EQ(cudaMalloc(&memory, 16), cudaErrorMemoryAllocation) << "device 1's first allocation";
    EXPECT_EQ(memory, untouched);
    EXPECT_EQ(cudaMalloc(&memory, 16), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(1), cudaErrorUnknown) << "the second selection of device 1";
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc, 0), 1);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc, 1), 2);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaSetDevice, 1), 2);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaSetDevice, 0), 1);
    EXPECT_EQ(emulatedCallCount(EmulatedOperation::cudaMalloc, kEmulatedMaxDevices), 0);

    // The first SGEMM of each device: only device 1's is corrupted.
    for (const int device : {0, 1}) {
        selectDevice(device);
        const long computed = emulatedComputedProducts(device);
        cublasHandle_t handle = newHandle();
        const Problem p = makeProblem(6, 5, 4, 0, device);
        ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
        const std::vector<float> c = downloadAll(p.devC, static_cast<int>(p.c.size()));
        EXPECT_EQ(std::isnan(c[0]), device == 1) << "device " << device;
        EXPECT_EQ(c[1], fusedElement(p, 1.0f, 0.0f, 1, 0)) << "device " << device;
        EXPECT_EQ(emulatedComputedProducts(device), computed + 1);
    }
}

TEST_F(EmulatedDevices, MemoryContextsAndEventsWorkOnlyOnTheirOwnDevice) {
    // Nothing crosses devices in the stand-in: it fails instead of pretending to model peer access.
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    selectDevice(1);
    cublasHandle_t handle1 = newHandle();
    const Problem p1 = makeProblem(4, 4, 4, 0, 1);
    cudaEvent_t event1 = nullptr;
    ASSERT_EQ(cudaEventCreate(&event1), cudaSuccess);
    selectDevice(0);
    cublasHandle_t handle0 = newHandle();
    const Problem p0 = makeProblem(4, 4, 4, 0, 0);
    std::vector<float> host(16, kSentinel);

    EXPECT_EQ(cublasSetMatrix(4, 4, 4, host.data(), 4, p1.devA, 4), CUBLAS_STATUS_MAPPING_ERROR);
    EXPECT_EQ(cublasGetMatrix(4, 4, 4, p1.devA, 4, host.data(), 4), CUBLAS_STATUS_MAPPING_ERROR);
    EXPECT_EQ(cublasGetMatrix(4, 4, 4, p0.devA, 4, p1.devA, 4), CUBLAS_STATUS_MAPPING_ERROR) << "into device 1";
    EXPECT_EQ(cublasSetMatrix(4, 4, 4, p1.devA, 4, p0.devA, 4), CUBLAS_STATUS_MAPPING_ERROR) << "from device 1";
    EXPECT_EQ(runSgemm(handle1, p0, 1.0f, 0.0f), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(runSgemm(handle0, p1, 1.0f, 0.0f), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cudaFree(p1.devA), cudaErrorInvalidValue);
    EXPECT_EQ(cublasDestroy_v2(handle1), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cudaEventRecord(event1), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(host, std::vector<float>(16, kSentinel));

    selectDevice(1);
    EXPECT_EQ(downloadAll(p1.devA, 16), p1.a) << "device 1's memory changed";
    EXPECT_EQ(cudaFree(p1.devA), cudaSuccess);
    EXPECT_EQ(cublasDestroy_v2(handle1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cudaEventRecord(event1), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(event1), cudaSuccess);
}

TEST(EmulatedDeviceParsers, FaultItemsMayNameTheirDeviceAfterAnAt) {
    const EmulatedFaultList list = emulatedParseFaults("cudaMalloc:2@3,corrupt:1@15,cudaFree:4,cudaEventRecord:1@0007");
    ASSERT_TRUE(list.valid) << list.badItem;
    ASSERT_EQ(list.faults.size(), 4u);
    const int devices[] = {3, 15, 0, 7};
    const long calls[] = {2, 1, 4, 1};
    for (int index = 0; index < 4; ++index) {
        EXPECT_EQ(list.faults[index].device, devices[index]) << index;
        EXPECT_EQ(list.faults[index].callNumber, calls[index]) << index;
    }
    EXPECT_TRUE(list.faults[1].corruption);
    EXPECT_EQ(list.faults[3].operation, EmulatedOperation::cudaEventRecord);
    EXPECT_EQ(list.faults[0].item, "cudaMalloc:2@3");
    EXPECT_EQ(emulatedParseFaults("cudaMalloc:1@2147483647").faults.at(0).device, 2147483647);

    for (const char* bad :
         {"cudaMalloc:1@", "cudaMalloc:1@-1", "cudaMalloc:1@+1", "cudaMalloc:1@x", "cudaMalloc:1@1@2", "cudaMalloc:@1",
          "cudaMalloc@1:1", "cudaMalloc:1@2147483648", "cudaMalloc:1@ 1", "cudaMalloc:0@1"}) {
        const EmulatedFaultList badList = emulatedParseFaults((std::string("cudaFree:1,") + bad).c_str());
        EXPECT_FALSE(badList.valid) << bad;
        EXPECT_EQ(badList.badItem, bad);
    }
    EXPECT_NE(emulatedBadFaultsMessage("x").find("OPERATION:N@DEVICE"), std::string::npos);
}

TEST(EmulatedDeviceParsers, DeviceCountsAndSlowdownsAcceptOnlyWhatTheyDocument) {
    for (const auto& good :
         {std::make_pair("", 1), std::make_pair("1", 1), std::make_pair("16", 16), std::make_pair("04", 4)}) {
        const EmulatedDeviceCount parsed = emulatedParseDeviceCount(good.first);
        EXPECT_TRUE(parsed.valid) << good.first;
        EXPECT_EQ(parsed.count, good.second) << good.first;
    }
    for (const char* bad : {"0", "17", "-1", "+2", "2x", " 2", "1.0", "99999999999999999999"}) {
        EXPECT_FALSE(emulatedParseDeviceCount(bad).valid) << bad;
    }

    const EmulatedSlowdownList list = emulatedParseSlowdowns("1:1.5,0:2,3:1,15:100,2:1.0625,4:2@3s,5:4@1500ms");
    ASSERT_TRUE(list.valid) << list.badItem;
    ASSERT_EQ(list.slowdowns.size(), 7u);
    const int devices[] = {1, 0, 3, 15, 2, 4, 5};
    const double factors[] = {1.5, 2.0, 1.0, 100.0, 1.0625, 2.0, 4.0};
    const double from[] = {0.0, 0.0, 0.0, 0.0, 0.0, 3.0, 1.5};
    for (int index = 0; index < 7; ++index) {
        EXPECT_EQ(list.slowdowns[index].device, devices[index]);
        EXPECT_DOUBLE_EQ(list.slowdowns[index].factor, factors[index]);
        EXPECT_DOUBLE_EQ(list.slowdowns[index].fromSeconds, from[index]);
    }
    EXPECT_TRUE(emulatedParseSlowdowns("").slowdowns.empty());
    const struct {
        const char* text;
        const char* badItem;
    } bad[] = {{"1", "1"},
               {"1:", "1:"},
               {":1.5", ":1.5"},
               {"1:0.5", "1:0.5"},
               {"1:0.99", "1:0.99"},
               {"1:100.5", "1:100.5"},
               {"1:1.", "1:1."},
               {"1:.5", "1:.5"},
               {"1:1e1", "1:1e1"},
               {"1:-2", "1:-2"},
               {"x:2", "x:2"},
               {"1:1.5,1:2", "1:2"},
               {"1:2,01:3", "01:3"},
               {"1:1.5,,0:2", ""},
               {"1:1,5", "5"},
               {"-1:2", "-1:2"},
               // A start needs its unit.
               {"1:2@3", "1:2@3"},
               {"1:2@", "1:2@"},
               {"1@2:3s", "1@2:3s"},
               {"1:2@3h", "1:2@3h"}};
    for (const auto& c : bad) {
        const EmulatedSlowdownList badList = emulatedParseSlowdowns(c.text);
        EXPECT_FALSE(badList.valid) << c.text;
        EXPECT_EQ(badList.badItem, c.badItem) << c.text;
    }
}

// The variables are read before main, so each case starts the test program afresh with them set.
class EmulatedStartUp : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override {
        for (const char* name : {"KAVREL_EMULATED_DEVICES", "KAVREL_EMULATED_SLOWDOWN", "KAVREL_EMULATED_FAULTS",
                                 "KAVREL_EMULATED_STATS"}) {
            unsetVariable(name);
        }
    }
};

TEST_F(EmulatedStartUp, MalformedDeviceCountOrSlowdownStopsWithStatusTwo) {
    ASSERT_EQ(setVariable("KAVREL_EMULATED_DEVICES", "2x"), 0);
    EXPECT_EXIT(std::exit(0), testing::ExitedWithCode(2), "^KAVREL_EMULATED_DEVICES: bad value \"2x\"");
    ASSERT_EQ(setVariable("KAVREL_EMULATED_DEVICES", "2"), 0);
    ASSERT_EQ(setVariable("KAVREL_EMULATED_SLOWDOWN", "1:0.5"), 0);
    EXPECT_EXIT(std::exit(0), testing::ExitedWithCode(2), "^KAVREL_EMULATED_SLOWDOWN: bad item \"1:0.5\"");
}

TEST_F(EmulatedStartUp, ItemsForDevicesNotModelledWarnAndTheRunGoesOnWithTheOthers) {
    const std::string stats = testing::TempDir() + "kavrel-emulated-device-stats.txt";
    std::remove(stats.c_str());
    ASSERT_EQ(setVariable("KAVREL_EMULATED_DEVICES", "2"), 0);
    ASSERT_EQ(setVariable("KAVREL_EMULATED_SLOWDOWN", "1:1.5,2:3"), 0);
    ASSERT_EQ(setVariable("KAVREL_EMULATED_FAULTS", "cudaMalloc:1@1,cudaMalloc:1@2,cudaFree:1"), 0);
    ASSERT_EQ(setVariable("KAVREL_EMULATED_STATS", stats.c_str()), 0);
    const std::string expected = emulatedUnreachableItemMessage("KAVREL_EMULATED_SLOWDOWN", "2:3", 2) + "\n" +
                                 emulatedUnreachableItemMessage("KAVREL_EMULATED_FAULTS", "cudaMalloc:1@2", 2) + "\n";
    EXPECT_EXIT(
        {
            void* memory = nullptr;
            const bool modelled = emulatedDeviceCount() == 2;
            const bool device0 = cudaMalloc(&memory, 8) == cudaSuccess && cudaFree(memory) != cudaSuccess;
            const bool device1 = cudaSetDevice(1) == cudaSuccess && cudaMalloc(&memory, 8) != cudaSuccess &&
                                 cudaMalloc(&memory, 8) == cudaSuccess && cudaFree(memory) == cudaSuccess;
            std::exit(modelled && device0 && device1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), testing::Matcher<const std::string&>(expected));
    const std::string text = readFile(stats);
    EXPECT_NE(text.find("\ncudaMalloc 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndevice 0 cudaMalloc 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndevice 1 cudaMalloc 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndevice 0 cudaSetDevice 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndevice 1 cudaSetDevice 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("device 2"), std::string::npos) << text;
    std::remove(stats.c_str());
    EXPECT_NE(expected.find("\"cudaMalloc:1@2\""), std::string::npos);
}

TEST_F(EmulatedSlowedDevice, StretchesOnlyTheSlowedDevicesRoundTrips) {
    ASSERT_FALSE(emulatedSetSlowdown(kEmulatedMaxDevices, 2.0));
    ASSERT_FALSE(emulatedSetSlowdown(-1, 2.0));
    ASSERT_FALSE(emulatedSetSlowdown(0, 0.5));
    ASSERT_FALSE(emulatedSetSlowdown(0, kEmulatedMaxSlowdown * 2));
    ASSERT_FALSE(emulatedSetSlowdown(0, std::numeric_limits<double>::quiet_NaN()));
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    ASSERT_TRUE(emulatedSetSlowdown(1, 2.0));
    // The benchmark's round trip on each device, as kavrel-bench times it: upload A, B and C, SGEMM, download C.
    const int n = 512;
    Problem problems[2];
    cublasHandle_t handles[2];
    for (const int device : {0, 1}) {
        selectDevice(device);
        handles[device] = newHandle();
        problems[device] = makeProblem(n, n, n, 0, 3);
    }
    const auto roundTrips = [&](int device) {
        selectDevice(device);
        const Problem& p = problems[device];
        const Clock::time_point start = Clock::now();
        for (int trip = 0; trip < 2; ++trip) {
            uploadAll(p.a, p.devA);
            uploadAll(p.b, p.devB);
            uploadAll(p.c, p.devC);
            EXPECT_EQ(runSgemm(handles[device], p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
            EXPECT_EQ(cublasGetMatrix(n, n, sizeof(float), p.devC, n, problems[device].c.data(), n),
                      CUBLAS_STATUS_SUCCESS);
        }
        return secondsSince(start);
    };
    roundTrips(0);
    roundTrips(1);
    // Many short samples, alternating, each device's fastest taken: a sample the machine interrupted only ever
    // takes longer, and the stretch hides an interruption that falls in its wait, so typical times on a busy
    // machine can even favour the slowed device, while the fastest of each are the undisturbed ones.
    std::vector<double> times[2];
    for (int sample = 0; sample < 41; ++sample) {
        times[0].push_back(roundTrips(0));
        times[1].push_back(roundTrips(1));
    }
    const double ratio = smallest(times[1]) / smallest(times[0]);
    EXPECT_GT(ratio, 1.4);
    EXPECT_LT(ratio, 3.4) << "stretched more than the factor";
}

TEST_F(EmulatedAsync, SgemmWorkRunsAtTheNextCallThatWaitsForItsDevice) {
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    cublasHandle_t handle = newHandle();
    cublasHandle_t spareHandle = newHandle();
    Problem p = makeProblem(40, 9, 30, 0, 7);
    cudaEvent_t event = nullptr;
    ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
    float* spare = deviceFloats(16);
    std::vector<float> host(16, 1.0f);
    void* released = nullptr;
    const std::pair<const char*, std::function<bool()>> waiters[] = {
        {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize() == cudaSuccess; }},
        {"cudaEventSynchronize",
         [&] { return cudaEventRecord(event) == cudaSuccess && cudaEventSynchronize(event) == cudaSuccess; }},
        {"cublasGetMatrix",
         [&] { return cublasGetMatrix(16, 1, 4, spare, 16, host.data(), 16) == CUBLAS_STATUS_SUCCESS; }},
        {"cublasSetMatrix",
         [&] { return cublasSetMatrix(16, 1, 4, host.data(), 16, spare, 16) == CUBLAS_STATUS_SUCCESS; }},
        {"cudaFree", [&] { return cudaFree(released) == cudaSuccess; }},
        {"cublasDestroy_v2", [&] { return cublasDestroy_v2(spareHandle) == CUBLAS_STATUS_SUCCESS; }},
        {"cudaMemGetInfo",
         [] {
             size_t free = 0, total = 0;
             return cudaMemGetInfo(&free, &total) == cudaSuccess;
         }},
    };
    float alpha = 1.0f;
    for (const auto& waiter : waiters) {
        ASSERT_EQ(cudaMalloc(&released, 64), cudaSuccess);
        p.c.assign(p.c.size(), kNaN);
        uploadAll(p.c, p.devC);
        alpha += 1.0f;  // a new product each time, so that it must be computed
        const long computed = emulatedComputedProducts();
        ASSERT_EQ(runSgemm(handle, p, alpha, 0.0f), CUBLAS_STATUS_SUCCESS);
        // Calls that do not wait for the device leave the work queued. The stand-in's device memory is host memory,
        // so the test can look at C without a copy, which would wait.
        void* unrelated = nullptr;
        ASSERT_EQ(cudaMalloc(&unrelated, 64), cudaSuccess);
        cudaDeviceProp properties{};
        ASSERT_EQ(cudaGetDeviceProperties(&properties, 0), cudaSuccess);
        selectDevice(1);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << "another device's synchronisation";
        selectDevice(0);
        EXPECT_EQ(emulatedComputedProducts(), computed) << waiter.first;
        EXPECT_TRUE(std::isnan(p.devC[0])) << waiter.first << ": C written before the wait";
        ASSERT_TRUE(waiter.second()) << waiter.first;
        EXPECT_EQ(emulatedComputedProducts(), computed + 1) << waiter.first;
        EXPECT_EQ(p.devC[p.ldc * 3 + 5], fusedElement(p, alpha, 0.0f, 5, 3)) << waiter.first;
        ASSERT_EQ(cudaFree(unrelated), cudaSuccess);
    }

    // A corruption is work too: it shows only once the device has been waited for.
    ASSERT_EQ(runSgemm(handle, p, alpha, 0.0f), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    emulatedInjectCorruption(emulatedCallCount(EmulatedOperation::cublasSgemm_v2) + 1);
    ASSERT_EQ(runSgemm(handle, p, alpha, 0.0f), CUBLAS_STATUS_SUCCESS);
    EXPECT_FALSE(std::isnan(p.devC[0]));
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_TRUE(std::isnan(p.devC[0]));
    ASSERT_EQ(cudaEventDestroy(event), cudaSuccess);
}

TEST_F(EmulatedEvents, RecordsCompleteWhenTheQueueReachesThemAndTimesFollowTheirOrder) {
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(64, 64, 64, 0, 2);
    cudaEvent_t events[4] = {};
    for (cudaEvent_t& event : events) {
        ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
    }
    float ms = -1.0f;
    EXPECT_EQ(cudaEventElapsedTime(&ms, events[0], events[1]), cudaErrorInvalidResourceHandle) << "never recorded";
    EXPECT_EQ(cudaEventSynchronize(events[0]), cudaSuccess) << "never recorded";
    EXPECT_EQ(emulatedLiveEvents(), 4);

    ASSERT_EQ(cudaEventRecord(events[0], nullptr), cudaSuccess);  // nothing queued: complete at once
    ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cudaEventRecord(events[1]), cudaSuccess);
    ASSERT_EQ(runSgemm(handle, p, 2.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cudaEventRecord(events[2]), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, events[0], events[1]), cudaErrorNotReady);
    EXPECT_EQ(cudaEventElapsedTime(&ms, events[1], events[0]), cudaErrorNotReady);
    EXPECT_EQ(ms, -1.0f);

    // The record takes its time when the queue reaches it, not when it was made.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const long computed = emulatedComputedProducts();
    ASSERT_EQ(cudaEventSynchronize(events[1]), cudaSuccess);
    EXPECT_EQ(emulatedComputedProducts(), computed + 1) << "runs the work up to the event and no further";
    ASSERT_EQ(cudaEventElapsedTime(&ms, events[0], events[1]), cudaSuccess);
    EXPECT_GE(ms, 30.0f);
    EXPECT_EQ(cudaEventElapsedTime(&ms, events[1], events[2]), cudaErrorNotReady);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(emulatedComputedProducts(), computed + 2);
    float times[3] = {};
    ASSERT_EQ(cudaEventElapsedTime(&times[0], events[0], events[1]), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&times[1], events[0], events[2]), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&times[2], events[2], events[0]), cudaSuccess);
    EXPECT_LE(times[0], times[1]);
    EXPECT_EQ(times[2], -times[1]);

    // A record still queued when its event is destroyed completes nothing, and harms nothing.
    ASSERT_EQ(runSgemm(handle, p, 3.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cudaEventRecord(events[3]), cudaSuccess);
    ASSERT_EQ(cudaEventDestroy(events[3]), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    int notAnEvent = 0;
    const cudaEvent_t unknown = reinterpret_cast<cudaEvent_t>(&notAnEvent);
    for (const cudaEvent_t gone : {events[3], unknown}) {
        EXPECT_EQ(cudaEventRecord(gone), cudaErrorInvalidResourceHandle);
        EXPECT_EQ(cudaEventSynchronize(gone), cudaErrorInvalidResourceHandle);
        EXPECT_EQ(cudaEventElapsedTime(&ms, events[0], gone), cudaErrorInvalidResourceHandle);
        EXPECT_EQ(cudaEventDestroy(gone), cudaErrorInvalidResourceHandle);
    }
    EXPECT_NE(cudaEventRecord(events[0], reinterpret_cast<cudaStream_t>(&notAnEvent)), cudaSuccess)
        << "only the default stream is modelled";
    EXPECT_EQ(cudaEventElapsedTime(nullptr, events[0], events[1]), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventCreate(nullptr), cudaErrorInvalidValue);

    // Events of different devices have no common clock.
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    selectDevice(1);
    cudaEvent_t other = nullptr;
    ASSERT_EQ(cudaEventCreate(&other), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(other), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, events[0], other), cudaErrorInvalidResourceHandle);
    for (int index = 0; index < 3; ++index) {
        EXPECT_EQ(cudaEventDestroy(events[index]), cudaSuccess);
    }
    EXPECT_EQ(cudaEventDestroy(other), cudaSuccess);
    EXPECT_EQ(emulatedLiveEvents(), 0);
}

TEST_F(EmulatedMemoryInfo, EachDeviceReportsItsOwnShareAndRefusesWhatDoesNotFit) {
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(total, kEmulatedDeviceMemoryBytes);
    EXPECT_EQ(free, kEmulatedDeviceMemoryBytes);
    EXPECT_EQ(cudaMemGetInfo(nullptr, &total), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemGetInfo(&free, nullptr), cudaErrorInvalidValue);

    // A small device, so that filling it takes little host memory.
    const size_t memory = size_t{1} << 20;
    ASSERT_FALSE(emulatedSetDeviceMemory(0));
    ASSERT_TRUE(emulatedSetDeviceMemory(memory));
    void* block = nullptr;
    ASSERT_EQ(cudaMalloc(&block, memory / 4), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(total, memory);
    EXPECT_EQ(free, memory - memory / 4);
    void* const untouched = reinterpret_cast<void*>(std::uintptr_t{0x1234});
    void* refused = untouched;
    const long live = emulatedLiveDeviceAllocations();
    EXPECT_EQ(cudaMalloc(&refused, free + 1), cudaErrorMemoryAllocation);
    EXPECT_EQ(refused, untouched);
    EXPECT_EQ(emulatedLiveDeviceAllocations(), live);

    selectDevice(1);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, memory) << "device 0's allocation counted on device 1";
    void* rest = nullptr;
    ASSERT_EQ(cudaMalloc(&rest, memory), cudaSuccess) << "all of device 1";
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 0u);
    selectDevice(0);
    ASSERT_EQ(cudaFree(block), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, memory);
}

TEST_F(EmulatedConcurrency, ThreadsOnDifferentDevicesGetTheirOwnProducts) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 6;
    ASSERT_TRUE(emulatedSetDeviceCount(kThreads));
    long computed[kThreads];
    for (int device = 0; device < kThreads; ++device) {
        computed[device] = emulatedComputedProducts(device);
    }
    std::vector<std::thread> threads;
    for (int device = 0; device < kThreads; ++device) {
        threads.emplace_back([device] {
            selectDevice(device);
            cublasHandle_t handle = newHandle();
            Problem p = makeProblem(48, 40, 36, 1, 10 * device);
            for (int round = 0; round < kRounds; ++round) {
                p.a[round] += 1.0f;
                uploadAll(p.a, p.devA);
                ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
                expectProduct(p, 1.0f, downloadAll(p.devC, static_cast<int>(p.c.size())), "round");
            }
            EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int device = 0; device < kThreads; ++device) {
        EXPECT_EQ(emulatedCallCount(EmulatedOperation::cublasSgemm_v2, device), kRounds);
        EXPECT_EQ(emulatedComputedProducts(device), computed[device] + kRounds);
    }
}

TEST_F(EmulatedConcurrency, ADeviceBusyWithLongWorkDoesNotHoldUpAnother) {
    // Device 1 runs a product stretched a hundredfold while device 0 keeps copying; under one lock for all devices
    // some copy would wait for the whole product.
    ASSERT_TRUE(emulatedSetDeviceCount(2));
    std::atomic<bool> copying{false};
    std::atomic<bool> busyDone{false};
    double longestCopy = 0.0;
    long copiesWhileBusy = 0;
    std::thread copier([&] {
        const std::vector<float> values = patterned(4096, 1);
        float* device = deviceFloats(4096);
        copying = true;
        while (!busyDone) {
            const Clock::time_point start = Clock::now();
            uploadAll(values, device);
            longestCopy = std::max(longestCopy, secondsSince(start));
            ++copiesWhileBusy;
        }
    });
    selectDevice(1);
    ASSERT_TRUE(emulatedSetSlowdown(1, kEmulatedMaxSlowdown));
    cublasHandle_t handle = newHandle();
    const Problem p = makeProblem(384, 384, 384, 0, 4);
    while (!copying) {
        std::this_thread::yield();
    }
    ASSERT_EQ(runSgemm(handle, p, 1.0f, 0.0f), CUBLAS_STATUS_SUCCESS);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const double busySeconds = secondsSince(start);
    busyDone = true;
    copier.join();
    EXPECT_GT(busySeconds, 0.05) << "the long work was not long";
    EXPECT_GT(copiesWhileBusy, 0);
    EXPECT_LT(longestCopy, busySeconds / 2) << copiesWhileBusy << " copies";
}
