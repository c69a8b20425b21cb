// Reading report files, folders and standard input with std::filesystem, reporting failures as values.
#include "fleet/fleetInputs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Reads the whole file at path into text; returns an empty string or why it could not.
std::string readFile(const std::string& path, std::string* text) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::string("cannot be read (") + (errno != 0 ? std::strerror(errno) : "unknown error") + ")";
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        return "cannot be read (read error)";
    }
    *text = contents.str();
    return "";
}

// The *.json regular files in folder, sorted by name; sets problem when the folder cannot be listed.
std::vector<std::string> reportsInFolder(const std::string& folder, std::string* problem) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::path& path = entries->path();
        std::error_code typeError;
        if (path.extension() == ".json" && fs::is_regular_file(path, typeError)) {
            names.push_back(path.filename().string());
        }
    }
    if (error) {
        *problem = "cannot be listed (" + error.message() + ")";
        return {};
    }
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        *problem = "a folder without *.json reports";
    }
    return names;
}

}  // namespace

GatheredInputs gatherInputs(const std::vector<std::string>& inputs, std::istream& standardInput) {
    GatheredInputs gathered;
    for (const std::string& input : inputs) {
        if (input == "-") {
            const std::string text{std::istreambuf_iterator<char>(standardInput), std::istreambuf_iterator<char>()};
            gathered.documents.push_back(InputDocument{kStandardInputName, text});
            continue;
        }
        std::error_code error;
        if (!fs::is_directory(input, error)) {
            InputDocument document{input, ""};
            const std::string problem = readFile(input, &document.text);
            if (problem.empty()) {
                gathered.documents.push_back(document);
            } else {
                gathered.problems.push_back(input + ": " + problem);
            }
            continue;
        }
        std::string problem;
        for (const std::string& name : reportsInFolder(input, &problem)) {
            const std::string path = (fs::path(input) / name).string();
            InputDocument document{path, ""};
            const std::string fileProblem = readFile(path, &document.text);
            if (fileProblem.empty()) {
                gathered.documents.push_back(document);
            } else {
                gathered.problems.push_back(path + ": " + fileProblem);
            }
        }
        if (!problem.empty()) {
            gathered.problems.push_back(input + ": " + problem);
        }
    }
    return gathered;
}
