#include "tools/common/toolText.h"

#include <fstream>

namespace qvtool {

const char* const kPathKeys[21] = {"macFile",        "dicFile",     "wpaFile",      "wpaAddendaFile",
                                   "pyTableFile",    "qiYinFile",   "tnmFile",      "featureConfigFile",
                                   "wavFile",        "wavFileList", "txtFile",      "sylFile",
                                   "netFile",        "outputDir",   "phoneRank2scoreParamFile",
                                   "scoreDiscountParamFile",        "cmParamFile",  "epsFile",
                                   "inputLabFile",   "pitchParamFile", "toneModelFile"};

std::vector<std::string> readDataLines(const std::string& path, char comment) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError{"cannot read " + path};
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || (comment && line[0] == comment)) continue;
        lines.push_back(line);
    }
    return lines;
}

std::string trimBlanks(const std::string& s) {
    const char* ws = " \t\r\n";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::vector<std::string> splitAt(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) return out;
        start = p + 1;
    }
}

}  // namespace qvtool
