// Gathering the text of every report kavrel-fleet was given: files, folders of *.json files, standard input.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The name standard input goes by in messages and in the report.
constexpr const char* kStandardInputName = "<stdin>";

// One report's text and where it came from.
struct InputDocument {
    std::string source;  // the file's path as given (a folder's path joined with the file name), or "<stdin>"
    std::string text;
};

// Every document that could be read, and a line "source: problem" for every input that could not.
struct GatheredInputs {
    std::vector<InputDocument> documents;
    std::vector<std::string> problems;
};

// Reads each input in order: "-" reads all of standardInput; a folder stands for every regular file in it whose
// name ends in ".json", in byte order of the names (a folder without one is a problem); anything else is read as
// a file. Never throws.
GatheredInputs gatherInputs(const std::vector<std::string>& inputs, std::istream& standardInput);
