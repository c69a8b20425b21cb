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

std::vector<InputDocument> gatherInputs(const std::vector<std::string>& inputs, std::istream& standardInput) {
    std::vector<InputDocument> gathered;
    for (const std::string& input : inputs) {
        if (input == "-") {
            const std::string text{std::istreambuf_iterator<char>(standardInput), std::istreambuf_iterator<char>()};
            gathered.push_back(InputDocument{kStandardInputName, text, ""});
            continue;
        }
        std::error_code error;
        if (!fs::is_directory(input, error)) {
            InputDocument document{input, "", ""};
            document.problem = readFile(input, &document.text);
            gathered.push_back(document);
            continue;
        }
        std::string problem;
        for (const std::string& name : reportsInFolder(input, &problem)) {
            InputDocument document{(fs::path(input) / name).string(), "", ""};
            document.problem = readFile(document.source, &document.text);
            gathered.push_back(document);
        }
        if (!problem.empty()) {
            gathered.push_back(InputDocument{input, "", problem});
        }
    }
    return gathered;
}
