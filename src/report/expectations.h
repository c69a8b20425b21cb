// What each GPU model is expected to reach, read from a file both kavrel-bench and kavrel-fleet take (--expect), and
// the one rule that compares a GPU's figures with it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace report {

// The expectation of one GPU model, by its exact device name; each figure is optional.
struct Expectation {
    std::string name;                              // "NVIDIA H100 80GB HBM3", as the runtime names the device
    std::optional<double> minUploadGbPerSecond;    // at least this, at the median upload
    std::optional<double> minDownloadGbPerSecond;  // at least this, at the median download
    std::optional<double> minSgemmGflopPerSecond;  // at least this, at the median SGEMM
    std::optional<int> pcieLinkGeneration;         // the link under load at least this generation
    std::optional<int> pcieLinkWidth;              // and at least this width
    std::optional<double> maxTemperatureCelsius;   // no sample hotter
};

// The expectations of a file, or why it cannot be used.
struct ExpectationFile {
    std::vector<Expectation> expectations;
    std::string problem;  // empty when the file was read
};

// Reads an expectation file: one JSON object with "expectations", an array of objects each with "name" and any of
// "min_upload_gb_per_second", "min_download_gb_per_second", "min_sgemm_gflop_per_second", "pcie_link_generation",
// "pcie_link_width" and "max_temperature_celsius" (positive numbers; the link's as whole numbers). A name given
// twice, an unknown key or a value of the wrong kind makes the file unusable, named in problem. Never throws.
ExpectationFile parseExpectations(const std::string& text);

// Reads the file at path with parseExpectations; a file that cannot be read is a problem too.
ExpectationFile readExpectations(const std::string& path);

// The expectation for a device name, or null.
const Expectation* expectationFor(const std::vector<Expectation>& expectations, const std::string& name);

// One GPU's figures as the expectation judges them; a figure it does not have is not judged.
struct ExpectedFigures {
    std::optional<double> uploadGbPerSecond;
    std::optional<double> downloadGbPerSecond;
    std::optional<double> sgemmGflopPerSecond;
    std::optional<int> pcieLinkGeneration;  // the lowest seen under load
    std::optional<int> pcieLinkWidth;
    std::optional<double> maxTemperatureCelsius;
};

// Every way the figures fall short of the expectation, one line each naming the figure and the expectation:
// "upload 3.10 GB/s below the expected 20.00", "PCIe link 4x16 under load below the expected 5x16",
// "temperature 91 C above the expected 85". None when the figures meet it.
std::vector<std::string> shortfalls(const Expectation& expectation, const ExpectedFigures& figures);

}  // namespace report
