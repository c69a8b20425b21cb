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

namespace fleet {

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

// Why an entry named like a report cannot be read as one; empty when it is a regular file or a link to one.
std::string entryProblem(const fs::directory_entry& entry) {
    std::error_code error;
    const fs::file_status target = entry.status(error);
    if (fs::is_regular_file(target)) {
        return "";
    }
    if (!fs::exists(target)) {
        std::error_code linkError;
        return entry.is_symlink(linkError) ? "a symbolic link to nothing, not a report file"
                                           : "cannot be read (" + error.message() + ")";
    }
    if (fs::is_directory(target)) {
        return "a folder, not a report file";
    }
    if (fs::is_fifo(target)) {
        return "a FIFO, not a report file";
    }
    return "not a regular file, not a report file";
}

// The entries named *.json in folder, sorted by name, each with why it cannot be read when it cannot; sets problem
// when the folder cannot be listed or holds no such entry.
std::vector<InputDocument> reportsInFolder(const std::string& folder, std::string* problem) {
    std::vector<InputDocument> found;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::path& path = entries->path();
        if (path.extension() == ".json") {
            found.push_back(InputDocument{(fs::path(folder) / path.filename()).string(), "", entryProblem(*entries)});
        }
    }
    if (error) {
        *problem = "cannot be listed (" + error.message() + ")";
        return {};
    }
    std::sort(found.begin(), found.end(),
              [](const InputDocument& left, const InputDocument& right) { return left.source < right.source; });
    if (found.empty()) {
        *problem = "a folder without *.json reports";
    }
    return found;
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
        for (InputDocument& document : reportsInFolder(input, &problem)) {
            if (document.problem.empty()) {
                document.problem = readFile(document.source, &document.text);
            }
            gathered.push_back(document);
        }
        if (!problem.empty()) {
            gathered.push_back(InputDocument{input, "", problem});
        }
    }
    return gathered;
}

}  // namespace fleet
