#include "tools/common/toolText.h"

namespace qvtool {

const char* const kPathKeys[20] = {"macFile",        "dicFile",     "wpaFile",      "wpaAddendaFile",
                                   "pyTableFile",    "qiYinFile",   "tnmFile",      "featureConfigFile",
                                   "wavFile",        "wavFileList", "txtFile",      "sylFile",
                                   "netFile",        "outputDir",   "phoneRank2scoreParamFile",
                                   "scoreDiscountParamFile",        "cmParamFile",  "epsFile",
                                   "inputLabFile",   "pitchParamFile"};

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
