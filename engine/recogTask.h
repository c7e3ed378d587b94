// The recognition task: the parameter record read from the recognition
// parameter file ("key = value" lines, "%" starts a comment) and, later, the
// pipeline that runs one assessment or recognition.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/frontend/feature.h"
#include "engine/lexicon/dict.h"
#include "engine/lexicon/net.h"
#include "engine/lexicon/text.h"
#include "engine/models/macro.h"
#include "engine/scoring/mlf.h"
#include "engine/tone/toneModel.h"

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

// Keys of the parameter file that hold paths (txtFile only when it names a
// ".txt" file; otherwise its value is the text itself).
extern const char* const kParamPathKeys[21];
// Makes every relative path of `prm` (outputDir aside) absolute: against
// `base` when the file exists there, else against `fallback` when it exists
// there, else against `base`. An empty fallback means none.
void recogParamResolvePaths(recogParam& prm, const std::string& base, const std::string& fallback);

// Copies `value` into a text field, failing if it does not fit.
void setParamText(char (&field)[MAX_PARAM_LEN], const std::string& value, const char* key = "value");

// The result record of one run is the scoring record.
using recogResult = mlfClass;
using macroNameList = std::vector<std::string>;

// Fixed frame geometry of the pipeline: 20 ms frames every 10 ms at 16 kHz.
constexpr int PIPE_FRAME_SIZE = 320;
constexpr int PIPE_OVERLAP = 160;

// The data files a run reads besides its own input. A one-shot run loads
// them itself and owns them; an engine loads them once (`shared`) and every
// run reads them through a const reference, from any thread: then the score
// tables, the feature configuration and the qiYin list are in memory too, and
// the dictionary's missing models were replaced at load time, so that no run
// changes anything here.
struct loadedData {
    macroClass macro;
    dictClass dict;
    textClass rules;  // the normalisation rules (m_spVs) only
    macroNameList modelNames;
    bool shared = false;
    std::vector<std::string> qiYin;
    scoreTables scores;
    featureConfig feaCfg;
    std::vector<std::string> warnings;  // of the loading, e.g. missing models
    bool hasToneModel = false;          // the parameters' toneModelFile, read
    std::string toneModelFile;
    toneModelClass toneModel;
};

// Loads the model set, lexicon and rules as a run does, with the same
// console lines; with `shared` also the files that a run would read later.
void loadData(const recogParam& prm, loadedData& data, bool shared);

// The dictionary of a run: its own (one-shot runs) or a shared one, copied
// on the first change (English sentences, network files), so that a shared
// dictionary is never written.
class runDict {
public:
    explicit runDict(dictClass& own) : m_own(&own), m_shared(&own) {}
    explicit runDict(const dictClass& shared) : m_shared(&shared) {}
    const dictClass& get() const { return m_own ? *m_own : *m_shared; }
    dictClass& mutableDict();
    // Builds a network from text lines, changing the dictionary only when it
    // is the run's own.
    void buildNet(netClass& net, const std::vector<std::string>& lines, const std::string& missingListPath = "");

private:
    dictClass* m_own = nullptr;
    const dictClass* m_shared = nullptr;
    std::unique_ptr<dictClass> m_copy;
};

// Runs one recognition or assessment from the audio file `wavFile`; returns
// the smallest matched sentence index. `prm` may be changed by the wave
// preparation (useDescCandidateNum). Errors arrive as FatalError.
// `modelNames`, when given, receives the model names of the run's model set
// (the phones' competing-model indices refer to them).
int32_t recogViaTreeLexicon(recogParam& prm, recogResult& result, macroNameList* modelNames = nullptr);
// The same from prepared samples (16 kHz, 16 bits, no DC).
int32_t recogSignal(recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs, int32_t nbits,
                    recogResult& result, macroNameList* modelNames = nullptr);
// The same over data loaded before (loadData with `shared`): reads only
// the run's own input and changes nothing in `data`. `text` starts as a copy
// of data.rules; when its sentences (m_txtVs) or syllable entries (m_sylVs)
// are filled already, txtFile or sylFile is not read.
int32_t recogLoaded(const loadedData& data, recogParam& prm, textClass text, const int32_t* samples,
                    int32_t sampleNum, int32_t fs, int32_t nbits, recogResult& result);

void loadLexicon(const recogParam& prm, dictClass& dict, const macroClass& macro, textClass& text);
// Returns candidateNum and arenaLen for the search. The model set is needed
// for English, whose dictionary is built from the sentences.
void prepareTextAndNet(const recogParam& prm, const macroClass& macro, runDict& dict, netClass& net,
                       textClass& text, int32_t& candidateNum, int32_t& arenaLen);

struct pipeFeatures {
    std::vector<float> data;  // frameNum x dim, row-major
    int32_t frameNum = 0;
    int32_t dim = 0;
    int32_t waveBeginFrameId = 0;
};
// `cfg`, when given, replaces reading featureConfigFile.
pipeFeatures epdAndFeatures(const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                            int32_t frameSize, int32_t overlap, const featureConfig* cfg = nullptr);

// `preloaded`, when given, supplies the qiYin list and the score tables.
std::vector<int32_t> recogCore(const macroClass& macro, runDict& dict, textClass& text, netClass& net,
                               const recogParam& prm, const int32_t* samples, int32_t sampleNum, int32_t fs,
                               int32_t nbits, int32_t frameSize, int32_t overlap, const pipeFeatures& fea,
                               int32_t candidateNum, int32_t arenaLen, recogResult& result,
                               const loadedData* preloaded = nullptr);

}  // namespace qv
