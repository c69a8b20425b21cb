// Tests of loading NVML at run time: candidates tried in order, every failure named, the override variable, a
// library that is not NVML, an older driver without some functions, and where each backend looks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/platform.h"
#include "gpu/nvml/nvmlApi.h"
#include "gpu/nvml/nvmlLibrary.h"
#include "support/environmentVariable.h"
#include "support/nvmlStandIn.h"

namespace {

// A shared library every machine has that is not NVML.
#if defined(_WIN32)
constexpr const char* kNotNvml = "kernel32.dll";
#else
constexpr const char* kNotNvml = "libm.so.6";
#endif

constexpr const char* kMissing = "/nonexistent/libnvidia-ml.so.1";

// Whether every function of the table is set, or every one is null.
bool allFunctionsSet(const NvmlFunctions& f, bool set) {
    bool all = true;
#define KAVREL_CHECK_SET(member, symbol, type) all = all && ((f.member != nullptr) == set);
    KAVREL_NVML_FUNCTIONS(KAVREL_CHECK_SET)
#undef KAVREL_CHECK_SET
    return all;
}

std::string fileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

}  // namespace

using NvmlLoader = NvmlStandInTest;

TEST_F(NvmlLoader, OpensTheStandInWithEveryFunction) {
    library = openNvmlLibrary({kStandInNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    EXPECT_EQ(library.path(), kStandInNvml);
    EXPECT_EQ(library.failure(), "");
    EXPECT_TRUE(allFunctionsSet(library.functions(), true));
    EXPECT_TRUE(library.missingFunctions().empty());
    EXPECT_TRUE(library.fallbacksUsed().empty());
    EXPECT_EQ(library.statusText(nvml::kErrorTimeout), "Timeout") << "the library's own nvmlErrorString";
}

TEST_F(NvmlLoader, KeepsTheFirstCandidateThatIsNvml) {
    library = openNvmlLibrary({kMissing, kNotNvml, kStandInNvml, kOldDriverNvml});
    ASSERT_TRUE(library.loaded()) << library.failure();
    EXPECT_EQ(library.path(), kStandInNvml);
    library = openNvmlLibrary({kOldDriverNvml, kStandInNvml});
    EXPECT_EQ(library.path(), kOldDriverNvml);
}

TEST_F(NvmlLoader, NamesEveryCandidateThatFailedAndWhy) {
    library = openNvmlLibrary({kMissing, kNotNvml});
    ASSERT_FALSE(library.loaded());
    const std::string& failure = library.failure();
    EXPECT_EQ(failure.rfind(std::string("not loaded: ") + kMissing + ": ", 0), 0u) << failure;
    EXPECT_NE(
        failure.find(std::string("; ") + kNotNvml + ": exports no nvmlInit_v2 and nvmlShutdown, so it is not NVML"),
        std::string::npos)
        << failure;
    EXPECT_EQ(library.path(), "");
    EXPECT_TRUE(allFunctionsSet(library.functions(), false));
    EXPECT_EQ(library.statusText(nvml::kErrorNotSupported), "NVML status 3");
    EXPECT_EQ(openNvmlLibrary({}).failure(), "not loaded: no library to try");
}

TEST_F(NvmlLoader, OverrideVariableIsTheOnlyLibraryTried) {
    const std::vector<std::string> candidates{kStandInNvml, kOldDriverNvml};
    EXPECT_EQ(nvmlLibrarySearchList(candidates), candidates);
    ASSERT_EQ(setVariable(kNvmlLibraryVariable, kMissing), 0);
    EXPECT_EQ(nvmlLibrarySearchList(candidates), std::vector<std::string>{kMissing});
    library = openNvml();
    EXPECT_FALSE(library.loaded());
    EXPECT_EQ(library.failure().rfind(std::string("not loaded: ") + kMissing + ": ", 0), 0u) << library.failure();
    ASSERT_EQ(setVariable(kNvmlLibraryVariable, kOldDriverNvml), 0);
    library = openNvml();
    EXPECT_EQ(library.path(), kOldDriverNvml);
    unsetVariable(kNvmlLibraryVariable);
    EXPECT_EQ(nvmlLibrarySearchList(candidates), candidates);
}

TEST_F(NvmlLoader, OldDriverFallsBackToThrottleReasonsAndLacksRemappedRows) {
    start("0:throttle=hw_power_brake", 1, kOldDriverNvml);
    EXPECT_EQ(library.functions().deviceGetRemappedRows, nullptr);
    EXPECT_EQ(library.missingFunctions(), std::vector<std::string>{"nvmlDeviceGetRemappedRows"});
    EXPECT_EQ(library.fallbacksUsed(), std::vector<std::string>{"nvmlDeviceGetCurrentClocksThrottleReasons"});
    ASSERT_NE(library.functions().deviceGetCurrentClocksEventReasons, nullptr);
    unsigned long long reasons = 0;
    ASSERT_EQ(library.functions().deviceGetCurrentClocksEventReasons(handle(0), &reasons), nvml::kSuccess);
    EXPECT_EQ(reasons, nvml::kClocksEventReasonHwPowerBrakeSlowdown);
}

TEST_F(NvmlLoader, MovingHandsTheLibraryOver) {
    start("0:temp=61");
    NvmlLibrary moved(std::move(library));
    EXPECT_FALSE(library.loaded());  // NOLINT(bugprone-use-after-move): what a move leaves is the point
    EXPECT_TRUE(allFunctionsSet(library.functions(), false));
    ASSERT_TRUE(moved.loaded());
    unsigned int temperature = 0;
    nvml::Device device = nullptr;
    ASSERT_EQ(moved.functions().deviceGetHandleByUuid(cudaUuid(0).c_str(), &device), nvml::kSuccess);
    ASSERT_EQ(moved.functions().deviceGetTemperature(device, nvml::kTemperatureGpu, &temperature), nvml::kSuccess);
    EXPECT_EQ(temperature, 61u);
    library = std::move(moved);
    EXPECT_TRUE(library.loaded());
}

TEST_F(NvmlLoader, StandInBackendLooksForTheStandInBesideTheRunningExecutable) {
    const std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    // Without its closing separator, which MinGW's std::filesystem does not resolve.
    EXPECT_TRUE(std::filesystem::equivalent(folder.substr(0, folder.size() - 1), KAVREL_NVML_TESTS_FOLDER)) << folder;
    EXPECT_EQ(nvmlLibraryCandidates(), std::vector<std::string>{folder + fileName(kStandInNvml)});
    // The build puts the stand-in beside the programs, where their own candidate finds it.
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(kStandInNvml).parent_path(), KAVREL_PROGRAMS_FOLDER));
    EXPECT_TRUE(
        std::filesystem::equivalent(std::filesystem::path(kOldDriverNvml).parent_path(), KAVREL_PROGRAMS_FOLDER));
}

TEST(NvmlDriverLibraryPaths, AreWhereTheDriverInstallsNvml) {
    const std::vector<std::string> paths = nvmlDriverLibraryPaths();
#if defined(_WIN32)
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], "nvml.dll");
    std::string programFiles;
    ASSERT_TRUE(readEnvironmentVariable("ProgramW6432", &programFiles));
    EXPECT_EQ(paths[1], programFiles + "\\NVIDIA Corporation\\NVSMI\\nvml.dll");
    std::string folder = std::filesystem::path(paths[2]).parent_path().filename().string();
    std::transform(folder.begin(), folder.end(), folder.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    EXPECT_EQ(folder, "system32") << paths[2];
    EXPECT_EQ(std::filesystem::path(paths[2]).filename(), "nvml.dll") << paths[2];
#else
    EXPECT_EQ(paths, std::vector<std::string>{"libnvidia-ml.so.1"});
#endif
}
