// Small text helpers shared by the command-line tools.
#pragma once

#include <string>
#include <vector>

namespace qvtool {

// Keys of a recognition parameter file that hold paths (the tools resolve
// them against the folder that holds the data set).
extern const char* const kPathKeys[21];

// An input problem worth one line on stderr (or a JSON error object) and an
// exit code of its kind: "data", "usage", "unreadable audio", "too quiet",
// "clipped", "no speech", "text not covered", "internal".
struct InputError {
    std::string message;
    std::string kind = "data";
};

// Lines of a text file without trailing CR, empty lines and `comment` lines
// dropped (comment '\0': none), as the engine reads its data files. Throws
// InputError when the file cannot be read.
std::vector<std::string> readDataLines(const std::string& path, char comment);

// Without leading and trailing blanks, tabs, CR and LF.
std::string trimBlanks(const std::string& s);
// Every piece between separators, empty ones included ("a,,b" -> a, "", b).
std::vector<std::string> splitAt(const std::string& s, char sep);

}  // namespace qvtool
