// The result record of one run: the time alignment of the expected text
// (nodes = syllables or words, each with its phones), the phone-level
// confidence data, the discount factors and the scores, and the writers of
// the diagnostic result files.
//
// Scoring in short. Every scored phone is evaluated with its own model and a
// set of competing models over exactly its frames; the own model's rank among
// them, divided by the number of competitors, is the rank ratio (0 = best).
// Three parallel 0..100 scores follow per phone:
//   score 0 = bell(rankRatio; a, b, c of phoneRank2scoreParamFile)
//   score 1 = bell(rankRatio; a, b, c of the phone's line in cmParamFile,
//             default a=0.05 b=0.5 c=0, i.e. 100 / (1 + 20 rankRatio))
//   score 2 = 100 (own - lo) / (hi - lo) over the competitors' log-likelihoods
// with bell(x) = 100 / (1 + ((x - c) / a)^(2b)). Node scores are the
// time-weighted means of their phones', utterance scores the duration-
// weighted means of the node scores, and the final scores multiply those by
// one discount base per gross fault of the recording, raised to its count.
//
// Frames are 10 ms feature frames, both ends inclusive. Times in the label
// and XML files are in units of 100 ns: the frame index followed by "00000";
// an end time is endFrame + 1.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "engine/lexicon/dict.h"

namespace qv {

struct recogParam;
class macroClass;
class viterbiClass;

constexpr int MLF_SCORE_NUM = 3;        // scores per phone, node and utterance
constexpr int DISCOUNT_FACTOR_NUM = 7;  // discount counts and bases

struct mlfPhone {
    std::string name;  // model name
    int32_t modelIndex = -1;
    int32_t startFrame = 0;
    int32_t endFrame = 0;
    float cumLogProb = 0;
    float ownLogProb = 0;
    std::vector<int32_t> competingModel;       // best first after ranking
    std::vector<float> competingModelLogProb;  // parallel to competingModel
    std::vector<float> bellParam;              // a, b, c of score 1
    std::vector<std::string> altModel;         // acceptable alternatives
    int32_t rank = 0;                          // 0 = own model is best
    float rankRatio = 0;
    float timeRatio = 0;
    float score = -1;  // scores[1] once scored
    float scores[MLF_SCORE_NUM] = {-1, -1, -1};
};

struct mlfNode {
    std::string name;  // syllable/word, or "sil", "sp", "filler", "fillerC", "fillerV"
    std::string text;  // character or word; empty for silences
    int32_t startFrame = 0;
    int32_t endFrame = 0;
    float score = -1;  // scores[1] once scored
    float scores[MLF_SCORE_NUM] = {-1, -1, -1};
    std::vector<mlfPhone> phoneList;
    float cumLogProb = 0;
    std::vector<int32_t> volume;  // frame volumes of startFrame..endFrame
    float weight = 1.0f;
    // Tone step (only when the parameters name a tone model): the tone the
    // name expects (1..5, 0 none), the tone heard (0 when the syllable has no
    // voiced contour) with its posterior, the tone score (100 x posterior of
    // the expected tone / that of the tone heard; -1 when not scored), the
    // five posteriors and the
    // contour features (toneModel.h).
    int32_t toneExpected = 0;
    int32_t toneHeard = 0;
    float toneHeardPosterior = 0;
    float toneScore = -1;
    std::vector<float> tonePosterior;
    std::vector<float> toneFeatures;
};

// The history of one search candidate as plain lists: node records
// (dictionary entry, last frame, score) and phone records (position in the
// node's pronunciation, last frame, score).
struct searchPath {
    std::vector<int32_t> sylDictIdx;
    std::vector<int32_t> sylEndFrame;
    std::vector<float> sylScore;
    std::vector<int32_t> phonePos;
    std::vector<int32_t> phoneEndFrame;
    std::vector<float> phoneScore;
};

// Log-likelihood of model `modelIndex` over frames firstFrame..lastFrame.
// In a run this is the search's modelProb (-1e10 for spans under 3 frames).
using modelScorer = std::function<float(int32_t firstFrame, int32_t lastFrame, int32_t modelIndex)>;

// "sil", "sp" and the fillers are not scored.
bool isScoredNodeName(const std::string& name);
// Phones whose name begins with "sil+" are not scored.
bool isScoredPhoneName(const std::string& name);

// The score parameter files of a run, read once. An engine keeps one set
// for all its runs; a result record without one reads the files itself, at
// the step that needs them.
struct scoreTables {
    std::vector<float> rankParam;  // phoneRank2scoreParamFile
    std::vector<std::string> cmLines;  // cmParamFile, when named and present
    bool useCm = false;
    std::string cmFile;
    std::vector<float> discountBases;  // scoreDiscountParamFile
    bool useAlt = false;               // epsFile named
    std::map<std::string, std::vector<std::string>> alternatives;
    // Reads every file named by `prm`; the same errors as the scoring steps.
    static scoreTables read(const recogParam& prm);
    static std::vector<float> readRankParam(const recogParam& prm);
    static std::vector<float> readDiscountBases(const recogParam& prm);
    void readCm(const recogParam& prm);
    void readAlternatives(const recogParam& prm);
};

class mlfClass {
public:
    // Loaded score parameters; null: read the files named by the parameters.
    const scoreTables* tables = nullptr;
    std::vector<mlfNode> nodeList;
    int32_t totalPhoneNum = 0;  // phones of scored nodes
    int32_t totalFrameNum = 0;  // frames of scored phones of scored nodes
    float weightedRank = 0;
    float avgLogProb = 0;
    float LogProb = 0;  // score of the best search candidate
    int32_t actualSylNum = 0;
    std::vector<int32_t> m_discountFactor;
    float origScores[MLF_SCORE_NUM] = {0, 0, 0};
    float finalScores[MLF_SCORE_NUM] = {0, 0, 0};
    float origScore = 0;
    float finalScore = 0;
    // Recognition results, filled by the pipeline.
    std::string recogSyl;  // phonetic string of the best path
    std::string Tone;
    std::string MPA;
    std::string HanYu;
    std::string CGU;
    std::vector<int32_t> textIndex;  // matched expected sentences, ascending
    std::vector<std::string> texts;  // those sentences
    std::vector<std::string> qiYinList;
    // The designated sentence's syllables in order (pauses left out) and the
    // character of each, so that a caller can name those the alignment did
    // not reach; the characters are empty when they cannot be paired.
    std::vector<std::string> expectedSyl;
    std::vector<std::string> expectedText;
    // Characters of the designated sentence without a reading: left out of
    // the syllables and of the syllable count.
    std::vector<std::string> skippedText;
    // Problems that did not stop the scoring (level of the recording, ...).
    std::vector<std::string> warnings;
    // Nothing was scored because the recording holds no (or far too little)
    // speech; finalScore is then 0.
    bool noSpeech = false;
    std::string noSpeechReason;

    // ---- alignment in -----------------------------------------------------
    // Nodes and phones from a search path; `dict` maps the node records to
    // pronunciations, `modelNames` the pronunciation's model indices to names.
    void fromSearchPath(const searchPath& path, const std::vector<pronEntry>& dict,
                        const std::vector<std::string>& modelNames);
    void fromSearchPath(const searchPath& path, const std::vector<pronEntry>& dict, const macroClass& macro);
    // Convenience for a search candidate record (`sylNum`, `phoneNum` and the
    // fixed history arrays); the counts are checked against the arrays.
    template <class Candidate, class ModelSet>
    void fromSearchPath(const Candidate& best, const std::vector<pronEntry>& dict, const ModelSet& macro) {
        searchPath p;
        const size_t sylCap = std::min({std::size(best.sylDictIdx), std::size(best.sylEndFrame),
                                        std::size(best.sylScore)});
        const size_t phoneCap = std::min({std::size(best.phonePos), std::size(best.phoneEndFrame),
                                          std::size(best.phoneScore)});
        const size_t sylNum = checkedCount(static_cast<long long>(best.sylNum), sylCap, "sylNum");
        const size_t phoneNum = checkedCount(static_cast<long long>(best.phoneNum), phoneCap, "phoneNum");
        p.sylDictIdx.assign(best.sylDictIdx, best.sylDictIdx + sylNum);
        p.sylEndFrame.assign(best.sylEndFrame, best.sylEndFrame + sylNum);
        p.sylScore.assign(best.sylScore, best.sylScore + sylNum);
        p.phonePos.assign(best.phonePos, best.phonePos + phoneNum);
        p.phoneEndFrame.assign(best.phoneEndFrame, best.phoneEndFrame + phoneNum);
        p.phoneScore.assign(best.phoneScore, best.phoneScore + phoneNum);
        fromSearchPath(p, dict, macro);
    }
    // Reads a phone label file in the format of phone.lab. Lines outside the
    // format are fatal errors that quote the line.
    void readPhoneLevel(const std::string& path);
    // The same over the file's bytes in memory; `source` names it in messages.
    void readPhoneLevelBytes(const std::string& bytes, const std::string& source);

    // ---- confidence measure -----------------------------------------------
    // Ranks every scored phone among its competing models. `scorer` gives
    // model log-likelihoods over frame spans; spans must lie within
    // 0..frameNum-1. `modelNames` is the model set in its stored order.
    // Writes "<outputDir>/modelStrVec.txt" when an output folder is set.
    void findPhoneRanking(const std::vector<std::string>& modelNames, const modelScorer& scorer,
                          int32_t frameNum, const recogParam& prm);
    // The same over features (frameNum rows of dim floats) with the search's
    // modelProb.
    void findPhoneRanking(const float* fea, int32_t dim, int32_t frameNum, const macroClass& macro,
                          viterbiClass& vit, const recogParam& prm);
    // The seven fault counts over nodes firstNode..lastNode (an empty range
    // when lastNode < firstNode); identifiedSylNum < 0 means "not available".
    // Sets the weight of every node in the range to 1.
    void computeDiscountFactors(int32_t firstNode, int32_t lastNode, bool pathComplete, int32_t identifiedSylNum);
    // Phone and node scores of every node, node weights over the range, then
    // computeUtteranceScores over the range.
    void computeScores(int32_t firstNode, int32_t lastNode, const recogParam& prm);
    // Utterance scores from the node scores of the range, discounted with the
    // bases of scoreDiscountParamFile; copies scores[1] into every `score`.
    void computeUtteranceScores(int32_t firstNode, int32_t lastNode, const recogParam& prm);
    // 100 / (1 + ((x - c) / a)^(2b)) with a, b, c the first three parameters;
    // 100 at x == c.
    static float bellScore(float x, const std::vector<float>& param);
    void shiftTime(int32_t offset);
    // The k-th scored node gets the k-th unit of `text` (two-byte characters
    // for Chinese, blank-separated words for English); other nodes none.
    void fillNodeText(const std::string& text, const std::string& language);
    // Each node gets the values of its frames; frames outside 0..len-1 are
    // skipped. Before shiftTime node frames count from the analysed part of
    // the recording: pass its first frame as frameOffset when `volume`
    // covers the whole recording.
    void fillNodeVolume(const int32_t* volume, int32_t len, int32_t frameOffset = 0);

    // ---- result files -----------------------------------------------------
    // phone.lab (plain) or phone.cm (withScores; withVolumes adds volumes).
    void writePhoneLevel(const std::string& path, bool withScores, bool withVolumes) const;
    void writeCmXml(const std::string& path, const std::vector<std::string>& modelNames) const;
    void writeCmXml(const std::string& path, const macroClass& macro) const;
    // phone.plp and phone.cmd: silently skipped when the file cannot be created.
    void writePhoneLogProb(const std::string& path, const std::vector<std::string>& modelNames) const;
    void writePhoneLogProb(const std::string& path, const macroClass& macro) const;
    void writeScoreReport(const std::string& path, const std::vector<std::string>& modelNames) const;
    void writeScoreReport(const std::string& path, const macroClass& macro) const;
    // phone.lab, phone.cm, cm.xml, phone.plp and phone.cmd into outputDir,
    // each announced with "\t===> Saved %s\n". Nothing when outputDir is empty.
    void writeResultFiles(const std::string& outputDir, const std::vector<std::string>& modelNames) const;
    void writeResultFiles(const std::string& outputDir, const macroClass& macro) const;
    // discountFactor.txt, weightedRank.txt, origScore.txt, finalScore.txt,
    // announced likewise. Nothing when outputDir is empty.
    void writeScoreFiles(const std::string& outputDir) const;

private:
    static size_t checkedCount(long long count, size_t capacity, const char* what);
    void checkRange(int32_t firstNode, int32_t lastNode, const char* caller) const;
};

}  // namespace qv
