// The acoustic model set: continuous-density HMMs with diagonal-covariance
// Gaussian mixtures, one model per phone unit, kept in one flat array sorted
// by name.
//
// Two file formats hold the same content:
//
// Text ("mac"), close to an HTK master macro file:
//
//   ~o
//   <STREAMINFO> 3 13 13 13
//   <VECSIZE> 39<NULLD><MFCC_E_D_A><DIAGC>
//   ~h "a"
//   <BEGINHMM>
//   <NUMSTATES> 5
//   <STATE> 2
//   <NUMMIXES> 2 1 1          (optional: without it every stream has 1 mixture)
//   <SWEIGHTS> 3
//    1.0 1.0 1.0
//   <STREAM> 1                (only when there are 2 or more streams)
//   <MIXTURE> 1 6.0e-01       (only when the stream has 2 or more mixtures;
//   <RCLASS> 1                 trailing mixtures may be left out; RCLASS optional)
//   <MEAN> 13
//    ...13 numbers...
//   <VARIANCE> 13
//    ...13 numbers...
//   <GCONST> 2.3e+01
//   ... further mixtures, streams and states ...
//   <TRANSP> 5
//    ...5 x 5 numbers...
//   <ENDHMM>
//
// Binary ("macb"): little-endian int32 and IEEE float32, no padding, no magic:
//   modelNum, streamNum, streamWidth[streamNum]; then per model: name (50 bytes,
//   NUL-padded), stateNum N; per emitting state: streamWeight[streamNum], then
//   per stream mixtureNum M and M 112-byte mixture records (weight, mean[13],
//   var[13], gconst); after the states the N x N transition matrix row by row.
//   Values are raw (probabilities and variances as in the text format).
//
// Both readers reject counts beyond the record limits below, and the binary
// reader also any count the file size cannot hold, with a fatal error.
//
// Building a model set in memory (e.g. a trainer) and writing it:
//
//   qv::macroClass set;
//   set.streamNum = 3;  set.streamWidth[0] = set.streamWidth[1] = set.streamWidth[2] = 13;
//   set.allocModels(count);                  // zero-filled records, modelNum = count
//   qv::hmmModel& m = set.model[i];
//   qv::macroClass::setModelName(m, "a-b+c");
//   m.stateNum = 5;                          // entry + 3 emitting + exit
//   qv::hmmMixture& g = m.state[s].stream[k].mixture[j];   // s = HTK state - 2
//   m.state[s].streamWeight[k] = 1.0f;
//   m.state[s].stream[k].mixtureNum = M;
//   g.weight = w;  g.mean[d] = ...;  g.var[d] = ...;        // d < streamWidth[k]
//   g.gconst = qv::macroClass::computeGconst(g.var, set.streamWidth[k]);
//   m.transP[i][j] = p;                      // HTK state i+1 -> j+1, i, j < stateNum
//   set.writeMacro("models.mac");            // or "models.macb"
//
// A single-mixture stream must have weight 1 (the text format cannot say
// otherwise). Writers take the raw form only: read with sortAndPrepare = false
// to convert or rewrite a file; a written set reads back bit-identical.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv {

constexpr int MAX_MIXTURE_NUM = 32;  // mixtures per stream of one state
constexpr int MAX_PARAM_NUM = 13;    // coefficients per stream
constexpr int MAX_STATE_NUM = 3;     // emitting states per model
constexpr int MAX_STREAM_NUM = 3;    // feature streams
constexpr int MAX_HMM_STATE_NUM = MAX_STATE_NUM + 2;  // with entry and exit states
constexpr int MAX_MODEL_NAME_LEN = 52;                // bytes, NUL included
constexpr int MODEL_NAME_BIN_LEN = 50;                // name field of the binary format
constexpr int MACRO_HEADER_LEN = 1000;
// Models a set may hold: every record takes about 32 KB in memory, so this
// bounds a set at about 260 MB (the shipped set has 551).
constexpr int MAX_MODEL_NUM = 8192;

// Log weight of an empty mixture slot and of any impossible hypothesis.
constexpr float LOG_ZERO = -1e10f;

// One Gaussian. Raw: weight, variances. Prepared: log weight (-1e10 for 0) and
// inverse variances (floored at 1e-30). gconst is HTK's
// log((2 pi)^n * prod var) in both forms.
struct hmmMixture {
    float weight;
    float mean[MAX_PARAM_NUM];
    float var[MAX_PARAM_NUM];
    float gconst;
};
static_assert(sizeof(hmmMixture) == 112, "mixture record is also the on-disk layout");

// The mixture slots of one stream, 0..MAX_MIXTURE_NUM-1, stored in chunks of
// four that exist only once a slot of theirs is written: a set of 4-mixture
// streams takes an eighth of a fixed 32-slot layout, and a fresh process
// touches only what the file holds. Writing slot j (through a non-const
// reference) creates its chunk zero-filled; reading a slot that was never
// written gives a zero mixture (weight 0, as an empty slot of the file
// formats). References stay valid while the slots live. An index at or
// beyond MAX_MIXTURE_NUM is a fatal error.
class mixtureSlots {
public:
    static constexpr int CHUNK = 4;
    mixtureSlots() = default;
    mixtureSlots(const mixtureSlots& o) { *this = o; }
    mixtureSlots& operator=(const mixtureSlots& o);
    mixtureSlots(mixtureSlots&&) noexcept = default;
    mixtureSlots& operator=(mixtureSlots&&) noexcept = default;

    hmmMixture& operator[](size_t j);
    const hmmMixture& operator[](size_t j) const;
    // Slots stored (a multiple of CHUNK up to the highest chunk written).
    size_t stored() const;

private:
    std::unique_ptr<hmmMixture[]> m_chunk[MAX_MIXTURE_NUM / CHUNK];
};

struct hmmStream {
    int32_t mixtureNum;  // 0..MAX_MIXTURE_NUM
    mixtureSlots mixture;
};

struct hmmState {
    float streamWeight[MAX_STREAM_NUM];  // kept, never used in scoring
    hmmStream stream[MAX_STREAM_NUM];
};

struct hmmModel {
    char name[MAX_MODEL_NAME_LEN];
    int32_t stateNum;  // N, entry and exit included (3..5)
    hmmState state[MAX_STATE_NUM];  // HTK states 2..N-1
    // Row i, column j: HTK state i+1 -> j+1. Raw probabilities; after
    // preparation natural logs, with 0 kept as 0.
    float transP[MAX_HMM_STATE_NUM][MAX_HMM_STATE_NUM];
};

// True when every number of the two models is the same bit for bit (name,
// states, stream weights, mixture counts, all 32 slots of every stream of
// the three state records, transitions).
bool sameModel(const hmmModel& a, const hmmModel& b);

class gaussBlockSet;

class macroClass {
public:
    int32_t modelNum = 0;
    int32_t streamNum = 0;
    int32_t streamWidth[MAX_STREAM_NUM] = {};
    // "<keyword> <rest of line>" of the text file's vector-size line; empty
    // after reading a binary file.
    char header[MACRO_HEADER_LEN] = {};
    std::vector<hmmModel> model;  // modelNum zero-filled records

    macroClass() { initMacro(); }

    void initMacro();
    void freeMacro();

    // Dispatches on the extension: "mac"/"MAC" text, "macb"/"MACB" binary.
    // With sortAndPrepare (the pipeline always sets it) the set is sorted by
    // name and prepared; without it the raw values stay in file order.
    // On a fatal error the object is left as it was before the call.
    void readMacro(const std::string& fileName, bool sortAndPrepare);
    void readMacroText(const std::string& fileName);
    void readMacroBin(const std::string& fileName);
    // The same readers over the file's bytes in memory; `fileName` picks the
    // format and names the file in messages.
    void readMacroBytes(const std::string& data, const std::string& fileName, bool sortAndPrepare);
    void readMacroTextBytes(const std::string& data, const std::string& fileName);
    void readMacroBinBytes(const std::string& data, const std::string& fileName);

    // Raw form only (fatal on a prepared set). writeMacro dispatches like
    // readMacro. Text files carry `header`, or a generic vector-size line
    // when it is empty.
    void writeMacro(const std::string& fileName) const;
    void writeMacroText(const std::string& fileName) const;
    void writeMacroBin(const std::string& fileName) const;

    // Byte-wise ascending by name over records first..last (inclusive).
    void sortModels(int32_t first, int32_t last);
    void sortModels() { sortModels(0, modelNum - 1); }
    // Raw -> prepared; a second call does nothing. Preparation also lays the
    // Gaussians out for evaluation (gaussBlocks()); a caller that changes
    // prepared records afterwards calls layOutGaussians() again.
    void prepareModels();
    bool isPrepared() const { return m_prepared; }
    // None before preparation.
    const gaussBlockSet* gaussBlocks() const { return m_blocks.get(); }
    void layOutGaussians();

    // Bisection over the sorted set; on a miss findSubstituteModel.
    int32_t findModelIndex(const std::string& name) const;
    // For a missing l-c+r: first l-c+sil..., else first l-c+..., else 0.
    // -1 for sp, sil, filler, fillerC, fillerV and for an empty set.
    int32_t findSubstituteModel(const std::string& name) const;
    void getModelNames(std::vector<std::string>& names) const;

    // Helpers for building a set in memory.
    void allocModels(int32_t n);
    static void setModelName(hmmModel& m, const std::string& name);
    static float computeGconst(const float* var, int width);

private:
    bool m_prepared = false;
    std::shared_ptr<const gaussBlockSet> m_blocks;  // shared by copies: read-only
};

}  // namespace qv
