// The recognition task: the parameter record read from the recognition
// parameter file ("key = value" lines, "%" starts a comment) and, later, the
// pipeline that runs one assessment or recognition.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

constexpr int MAX_PARAM_LEN = 1000;  // text fields hold at most 999 bytes + NUL

struct recogParam {
    char language[MAX_PARAM_LEN];
    char macFile[MAX_PARAM_LEN];
    char pinyinType[MAX_PARAM_LEN];
    char dicFile[MAX_PARAM_LEN];
    char wpaFile[MAX_PARAM_LEN];
    char wpaAddendaFile[MAX_PARAM_LEN];
    char pyTableFile[MAX_PARAM_LEN];
    char qiYinFile[MAX_PARAM_LEN];
    char tnmFile[MAX_PARAM_LEN];
    char featureConfigFile[MAX_PARAM_LEN];
    char wavFile[MAX_PARAM_LEN];
    char wavFileList[MAX_PARAM_LEN];
    char txtFile[MAX_PARAM_LEN];
    char sylFile[MAX_PARAM_LEN];
    char netFile[MAX_PARAM_LEN];
    char outputDir[MAX_PARAM_LEN];
    char function[MAX_PARAM_LEN];
    char phoneRank2scoreParamFile[MAX_PARAM_LEN];
    char scoreDiscountParamFile[MAX_PARAM_LEN];
    char cmParamFile[MAX_PARAM_LEN];
    char epsFile[MAX_PARAM_LEN];
    char inputLabFile[MAX_PARAM_LEN];
    int32_t useAllModelAsCompetingModel;
    int32_t usePaddedHardSp;
    int32_t usePaddedSoftSil;
    char pitchParamFile[MAX_PARAM_LEN];
    char fillerType[MAX_PARAM_LEN];
    int32_t onlyOneSentence;
    int32_t getUvScore;
    int32_t getPitch;
    int32_t useEpd;
    int32_t netType;
    int32_t maxCandidateNum;
    int32_t probTh;
    int32_t comparisonMode;
    int32_t wordPenalty;
    int32_t nodePenalty;
    int32_t useWaveReject;
    int32_t useDescCandidateNum;
    int32_t useSpecSubtraction;

    recogParam() { setDefaults(); }
    // The defaults of every key; the reader starts from these.
    void setDefaults();
};

// Reads a parameter file into `prm` (defaults first, then the file's pairs in
// order). Unknown keys, unreadable files and values over 999 bytes are fatal.
void recogParamRead(const std::string& path, recogParam& prm);

// Applies one key/value pair as the reader does; `source` names the file or
// origin in the unknown-key message. Used for command-line overrides too.
void recogParamSet(recogParam& prm, const std::string& key, const std::string& value, const std::string& source);

// Copies `value` into a text field, failing if it does not fit.
void setParamText(char (&field)[MAX_PARAM_LEN], const std::string& value, const char* key = "value");

}  // namespace qv
