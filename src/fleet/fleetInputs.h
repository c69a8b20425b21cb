// Gathering the text of every report kavrel-fleet was given: files, folders of *.json files, standard input.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace fleet {

// The name standard input goes by in messages and in the report.
constexpr const char* kStandardInputName = "<stdin>";

// One input's text and where it came from, or why it could not be read.
struct InputDocument {
    std::string source;   // the file's path as given (a folder's path joined with the file name), or "<stdin>"
    std::string text;     // empty when problem is set
    std::string problem;  // why the input could not be read; empty when it was
};

// Reads each input in order: "-" reads all of standardInput; a folder stands for every entry in it whose name ends in
// ".json", in byte order of the names, each of which must be a regular file or a link to one (a folder, a FIFO or
// a link to nothing so named is a problem of that entry, never opened; a folder without such entries is a problem
// of the folder); anything else is read as a file. Returns one entry per file read or input that failed, in that
// order. Never throws.
std::vector<InputDocument> gatherInputs(const std::vector<std::string>& inputs, std::istream& standardInput);

}  // namespace fleet
