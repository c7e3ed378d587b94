#include "recogTask.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "utility.h"

namespace qv {

// Messages of the parameter reader name the pipeline unit, which owns the file.
static const char* kUnit = "recogTask";

namespace {

enum class Kind { Text, Int };
struct FieldDesc {
    const char* key;
    Kind kind;
    size_t offset;
    int32_t defInt;
};

#define QV_TEXT(name) {#name, Kind::Text, offsetof(recogParam, name), 0}
#define QV_INT(name, def) {#name, Kind::Int, offsetof(recogParam, name), def}

// One table for every key: the reader, the overrides and the defaults use it.
const FieldDesc kFields[] = {
    QV_TEXT(language),
    QV_TEXT(macFile),
    QV_TEXT(pinyinType),
    QV_TEXT(dicFile),
    QV_TEXT(wpaFile),
    QV_TEXT(wpaAddendaFile),
    QV_TEXT(pyTableFile),
    QV_TEXT(qiYinFile),
    QV_TEXT(tnmFile),
    QV_TEXT(featureConfigFile),
    QV_TEXT(wavFile),
    QV_TEXT(wavFileList),
    QV_TEXT(txtFile),
    QV_TEXT(sylFile),
    QV_TEXT(netFile),
    QV_TEXT(outputDir),
    QV_TEXT(function),
    QV_TEXT(phoneRank2scoreParamFile),
    QV_TEXT(scoreDiscountParamFile),
    QV_TEXT(cmParamFile),
    QV_TEXT(epsFile),
    QV_TEXT(inputLabFile),
    QV_INT(useAllModelAsCompetingModel, 0),
    QV_INT(usePaddedHardSp, 1),
    QV_INT(usePaddedSoftSil, 1),
    QV_TEXT(pitchParamFile),
    QV_TEXT(fillerType),
    QV_INT(onlyOneSentence, 0),
    QV_INT(getUvScore, 0),
    QV_INT(getPitch, 0),
    QV_INT(useEpd, 0),
    QV_INT(netType, 0),
    QV_INT(maxCandidateNum, 0),
    QV_INT(probTh, 0),
    QV_INT(comparisonMode, 0),
    QV_INT(wordPenalty, 0),
    QV_INT(nodePenalty, 0),
    QV_INT(useWaveReject, 0),
    QV_INT(useDescCandidateNum, 1),
    QV_INT(useSpecSubtraction, 0),
};

#undef QV_TEXT
#undef QV_INT

}  // namespace

void recogParam::setDefaults() {
    char* base = reinterpret_cast<char*>(this);
    for (const auto& f : kFields) {
        if (f.kind == Kind::Text)
            base[f.offset] = '\0';
        else
            *reinterpret_cast<int32_t*>(base + f.offset) = f.defInt;
    }
}

void setParamText(char (&field)[MAX_PARAM_LEN], const std::string& value, const char* key) {
    if (value.size() >= MAX_PARAM_LEN)
        fatalErrorF("Error: value of %s is %zu characters long, at most %d fit (line %d in %s)", key,
                    value.size(), MAX_PARAM_LEN - 1, __LINE__, kUnit);
    memcpy(field, value.c_str(), value.size() + 1);
}

void recogParamSet(recogParam& prm, const std::string& key, const std::string& value, const std::string& source) {
    char* base = reinterpret_cast<char*>(&prm);
    for (const auto& f : kFields) {
        if (key != f.key) continue;
        if (f.kind == Kind::Int) {
            // atoi semantics: "0.5" -> 0, "1e3" -> 1, no digits -> 0.
            *reinterpret_cast<int32_t*>(base + f.offset) = static_cast<int32_t>(strtol(value.c_str(), nullptr, 10));
        } else {
            if (value.size() >= MAX_PARAM_LEN)
                fatalErrorF("Error in parsing %s, value of %s is %zu characters long, at most %d fit (line %d in %s)",
                            source.c_str(), key.c_str(), value.size(), MAX_PARAM_LEN - 1, __LINE__, kUnit);
            memcpy(base + f.offset, value.c_str(), value.size() + 1);
        }
        return;
    }
    fatalErrorF("Error in parsing %s, unknown key = %s (line %d in %s)", source.c_str(), key.c_str(), __LINE__, kUnit);
}

void recogParamRead(const std::string& path, recogParam& prm) {
    std::vector<std::string> lines;
    readLines(path, lines);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::string line : lines) {
        size_t pct = line.find('%');
        if (pct != std::string::npos) line.erase(pct);
        line = trim(line);
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        pairs.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    prm.setDefaults();
    for (const auto& kv : pairs) recogParamSet(prm, kv.first, kv.second, path);
}

}  // namespace qv
