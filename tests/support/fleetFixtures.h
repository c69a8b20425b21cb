// Small kavrel-bench report documents and a scratch folder for the kavrel-fleet tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

// Two GPU names as kavrel-bench reports them.
inline const std::string kH100 = "NVIDIA H100 80GB HBM3";
inline const std::string kA100 = "NVIDIA A100-SXM4-80GB";

// A device entry that completed: its rates, UUID "GPU-<index>" (nodeReport adds the node's name), and mismatches
// (status "failed" when there are any).
inline nlohmann::json completedDevice(int index, const std::string& name, double roundTripsPerSecond,
                                      int mismatches = 0, double sgemmGflops = 40000.0) {
    return {{"index", index},
            {"name", name},
            {"uuid", "GPU-" + std::to_string(index)},
            {"pci_bus_id", "0000:1B:00.0"},
            {"compute_capability", {{"major", 9}, {"minor", 0}}},
            {"cublas_version", 130100},
            {"status", mismatches == 0 ? "passed" : "failed"},
            {"error", nullptr},
            {"round_trips", 10000},
            {"timing",
             {{"total_seconds", 5.1},
              {"upload", {{"median_seconds", 0.0009}, {"bytes", 12000000}, {"gb_per_second", 13.3}}},
              {"sgemm", {{"median_seconds", 0.00005}, {"flops", 2000000000}, {"gflop_per_second", sgemmGflops}}},
              {"download", {{"median_seconds", 0.0003}, {"bytes", 4000000}, {"gb_per_second", 13.25}}}}},
            {"round_trips_per_second", roundTripsPerSecond},
            {"check",
             {{"mismatch_count", mismatches},
              {"passed", mismatches == 0},
              {"verdict", mismatches == 0 ? "PASSED" : "FAILED"}}},
            {"outlier", false}};
}

// A device entry whose run ended in a GPU library error, as kavrel-bench writes it: the message, and the failed
// call with its status when one is named.
inline nlohmann::json errorDevice(int index, const std::string& name, const std::string& message,
                                  const std::string& call = "", const std::string& statusName = "") {
    return {{"index", index},
            {"name", name},
            {"uuid", nullptr},
            {"pci_bus_id", nullptr},
            {"compute_capability", {{"major", 9}, {"minor", 0}}},
            {"cublas_version", 130100},
            {"status", "error"},
            {"error",
             {{"message", message},
              {"call", call.empty() ? nlohmann::json(nullptr) : nlohmann::json(call)},
              {"status_code", call.empty() ? nlohmann::json(nullptr) : nlohmann::json(13)},
              {"status_name", statusName.empty() ? nlohmann::json(nullptr) : nlohmann::json(statusName)},
              {"stalled_seconds", nullptr}}}};
}

// A whole node report around devices, whose UUIDs "GPU-<index>" become "GPU-<node>-<index>", so that every GPU of a
// fleet has its own, as real ones do.
inline nlohmann::json nodeReport(const std::string& node, std::vector<nlohmann::json> devices) {
    bool allPassed = true;
    for (nlohmann::json& device : devices) {
        allPassed = allPassed && device["status"] == "passed";
        if (device["uuid"].is_string() && device["uuid"].get<std::string>().rfind("GPU-", 0) == 0) {
            device["uuid"] = "GPU-" + node + "-" + device["uuid"].get<std::string>().substr(4);
        }
    }
    return {{"schema", 3},
            {"program", "kavrel-bench"},
            {"program_version", "1.0.0"},
            {"host", {{"name", node}}},
            {"start_time", "2026-12-08T11:31:16Z"},
            {"matrix_order", 1000},
            {"devices", devices},
            {"node", {{"devices", devices.size()}, {"verdict", allPassed ? "PASSED" : "FAILED"}}}};
}

// A folder of its own under the system's temporary folder, removed with everything in it at the end of scope.
class ScratchFolder {
public:
    ScratchFolder() {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::filesystem::path candidate =
                std::filesystem::temp_directory_path() / ("kavrel-fleet-test-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = candidate.string();
            }
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Writes text to name inside the folder (creating subfolders) and returns the file's path.
    std::string write(const std::string& name, const std::string& text) const {
        const std::filesystem::path file = std::filesystem::path(path_) / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

    std::string path(const std::string& name = "") const {
        return name.empty() ? path_ : (std::filesystem::path(path_) / name).string();
    }

private:
    std::string path_;
};
