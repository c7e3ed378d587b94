// The recognition task: the parameter record read from the recognition
// parameter file ("key = value" lines, "%" starts a comment) and, later, the
// pipeline that runs one assessment or recognition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    char toneModelFile[MAX_PARAM_LEN];  // empty: no tone step, scores as without it

    recogParam() { setDefaults(); }
    // The defaults of every key; the reader starts from these.
    void setDefaults();
};

// Reads a parameter file into `prm` (defaults first, then the file's pairs in
// order). Unknown keys, unreadable files and values over 999 bytes are fatal.
void recogParamRead(const std::string& path, recogParam& prm);
// The same over the file's bytes in memory; `source` names it in messages.
void recogParamReadBytes(const std::string& bytes, const std::string& source, recogParam& prm);

// Applies one key/value pair as the reader does; `source` names the file or
// origin in the unknown-key message. Used for command-line overrides too.
void recogParamSet(recogParam& prm, const std::string& key, const std::string& value, const std::string& source);

// Copies `value` into a text field, failing if it does not fit.
void setParamText(char (&field)[MAX_PARAM_LEN], const std::string& value, const char* key = "value");

class mlfClass;
class macroClass;
class dictClass;
class textClass;
class netClass;

// The result record of one run is the scoring record.
using recogResult = mlfClass;
using macroNameList = std::vector<std::string>;

// Fixed frame geometry of the pipeline: 20 ms frames every 10 ms at 16 kHz.
constexpr int PIPE_FRAME_SIZE = 320;
constexpr int PIPE_OVERLAP = 160;

// Runs one recognition or assessment from the audio file `wavFile`; returns
// the smallest matched sentence index. `prm` may be changed by the wave
// preparation (useDescCandidateNum). Errors arrive as FatalError.
// `modelNames`, when given, receives the model names of the run's model set
// (the phones' competing-model indices refer to them).
int32_t recogViaTreeLexicon(recogParam& prm, recogResult& result, macroNameList* modelNames = nullptr);
// The same from prepared samples (16 kHz, 16 bits, no DC).
int32_t recogSignal(recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs, int32_t nbits,
                    recogResult& result, macroNameList* modelNames = nullptr);

void loadLexicon(const recogParam& prm, dictClass& dict, const macroClass& macro, textClass& text);
// Returns candidateNum and arenaLen for the search. The model set is needed
// for English, whose dictionary is built from the sentences.
void prepareTextAndNet(const recogParam& prm, const macroClass& macro, dictClass& dict, netClass& net,
                       textClass& text, int32_t& candidateNum, int32_t& arenaLen);

struct pipeFeatures {
    std::vector<float> data;  // frameNum x dim, row-major
    int32_t frameNum = 0;
    int32_t dim = 0;
    int32_t waveBeginFrameId = 0;
};
pipeFeatures epdAndFeatures(const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                            int32_t frameSize, int32_t overlap);

std::vector<int32_t> recogCore(const macroClass& macro, dictClass& dict, textClass& text, netClass& net,
                               const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                               int32_t nbits, int32_t frameSize, int32_t overlap, const pipeFeatures& fea,
                               int32_t candidateNum, int32_t arenaLen, recogResult& result);

}  // namespace qv
