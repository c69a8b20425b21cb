// Loading the stand-in NVML libraries in tests with a scenario, and finding their devices by the UUIDs the CUDA
// stand-in gives them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gpu/deviceInfo.h"
#include "gpu/emulated/emulatedControl.h"
#include "gpu/nvml/nvmlLibrary.h"
#include "support/environmentVariable.h"

// The stand-in NVML libraries, as the build names them.
inline const char* const kStandInNvml = KAVREL_NVML_STANDIN_LIBRARY;
inline const char* const kOldDriverNvml = KAVREL_NVML_OLD_DRIVER_LIBRARY;

// The UUID the CUDA stand-in gives the device, as the program writes it; the CUDA stand-in must model the device.
inline std::string cudaUuid(int device) {
    DeviceDescription description{};
    EXPECT_TRUE(describeDevice(device, &description).succeeded) << device;
    return description.uuid;
}

// Every test starts with none of the stand-in NVML's variables set and the CUDA stand-in modelling every device it
// can; afterwards NVML is shut down as often as the test initialised it, and the variables are removed.
class NvmlStandInTest : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        clearVariables();
        emulatedSetDeviceCount(kEmulatedMaxDevices);
    }

    void TearDown() override {
        // A test that moved the library away leaves nothing to shut down here.
        for (; initialised > 0 && library.loaded(); --initialised) {
            library.functions().shutdown();
        }
        library = NvmlLibrary();
        clearVariables();
        emulatedResetFaults();
    }

    // Sets KAVREL_EMULATED_NVML to the scenario and KAVREL_EMULATED_DEVICES to the count, then loads the library at
    // path and initialises it, failing the test when either fails.
    void start(const std::string& scenario, int devices = 1, const char* path = kStandInNvml) {
        ASSERT_EQ(setVariable("KAVREL_EMULATED_NVML", scenario.c_str()), 0);
        ASSERT_EQ(setVariable("KAVREL_EMULATED_DEVICES", std::to_string(devices).c_str()), 0);
        library = openNvmlLibrary({path});
        ASSERT_TRUE(library.loaded()) << library.failure();
        ASSERT_EQ(library.functions().init(), nvml::kSuccess);
        ++initialised;
    }

    // The handle of the device with the CUDA stand-in's UUID for that index; null, failing the test, when there is
    // none.
    nvml::Device handle(int device) {
        nvml::Device found = nullptr;
        EXPECT_EQ(library.functions().deviceGetHandleByUuid(cudaUuid(device).c_str(), &found), nvml::kSuccess)
            << device;
        return found;
    }

    const NvmlFunctions& nvmlFunctions() const {
        return library.functions();
    }

    static void clearVariables() {
        for (const char* name : {"KAVREL_EMULATED_NVML", "KAVREL_EMULATED_DEVICES", "KAVREL_NVML_LIBRARY"}) {
            unsetVariable(name);
        }
    }

    NvmlLibrary library;
    int initialised = 0;
};
