// Frame-synchronous token-passing search of a syllable network.
//
// Every live hypothesis is a self-contained candidate record that carries its
// whole history (the nodes it passed with their end frames and the phones it
// passed with their end frames), so no back-trace is needed at the end.
// Candidates live in a fixed arena allocated once; after every frame they are
// merged per (node, phone, state), sorted best first and pruned by a beam
// (`probTh`) and a candidate limit that optionally shrinks at frames 60, 75,
// 100 and 120. Sorting and pruning permute the pointers in `candidate`, never
// the records.
//
// The search asks the acoustic side one question, "log-likelihood of (frame,
// model, emitting state)", through `acousticScorer`. The production scorer
// evaluates the Gaussian mixtures of a macroClass through the per-(model,
// state) likelihood cache of this class; tests and benchmarks use a plain
// `scoreTable`.
//
// All scores are natural-log likelihoods in single precision; LOG_ZERO
// (-1e10) is an impossible hypothesis.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/lexicon/net.h"
#include "engine/models/macro.h"

namespace qv {

constexpr int32_t MAX_SYL_NUM = 1000;          // node records in one candidate's history
constexpr int32_t MAX_PHONE_NUM = 2000;        // phone records in one candidate's history
constexpr int32_t MAX_STATE_NUM_IN_SYL = 150;  // phone x 3 + state positions in one node
constexpr int32_t MAX_HISTORY_OUTPUT = 100;    // lines of the path listing

// One hypothesis with its full history. Only the first `sylNum` / `phoneNum`
// entries of the history arrays are meaningful; the rest is never read (and
// never copied, see viterbiClass::copyCandidate).
struct candidateRecord {
    int32_t stateIdx;  // emitting state within the current phone, 0-based
    int32_t phoneIdx;  // position of the current phone in the node's entry
    int32_t nodeIdx;   // current network node
    int32_t sylNum;    // node records in the history
    int32_t sylDictIdx[MAX_SYL_NUM];   // per passed node: its dictionary entry
    int32_t sylTag[MAX_SYL_NUM];       // per passed node: its pathFlag
    int32_t sylEndFrame[MAX_SYL_NUM];  // per passed node: last frame spent in it
    float sylScore[MAX_SYL_NUM];       // per passed node: score when recorded
    float score;                       // accumulated log-likelihood
    int32_t phoneNum;                  // phone records in the history
    int32_t phonePos[MAX_PHONE_NUM];       // per passed phone: position in its node's entry
    int32_t phoneEndFrame[MAX_PHONE_NUM];  // per passed phone: last frame spent in it
    float phoneScore[MAX_PHONE_NUM];       // per passed phone: score when recorded
};

// The seam between acoustic scoring and search.
class acousticScorer {
public:
    virtual ~acousticScorer() = default;
    virtual int32_t modelCount() const = 0;
    // N, entry and exit states included (3..5 for a usable model).
    virtual int32_t stateNum(int32_t model) const = 0;
    // Log transition from HTK state from+1 to HTK state to+1 (indices < 5).
    virtual float logTrans(int32_t model, int32_t from, int32_t to) const = 0;
    // Log-likelihood of frame `frame` in emitting state `state` (0..2) of `model`.
    virtual float stateLogLike(int32_t frame, int32_t model, int32_t state) = 0;
};

// A plain table of state log-likelihoods and model topologies: lets the
// search be driven without Gaussians (tests, benchmarks, externally computed
// scores). Every index is bounds-checked (fatal error when out of range).
class scoreTable : public acousticScorer {
public:
    // All log-likelihoods start at `fill`; every model starts with 5 states,
    // self-loop and forward log transitions log(0.5).
    scoreTable(int32_t frameNum, int32_t modelNum, float fill = 0.0f);

    void set(int32_t frame, int32_t model, int32_t state, float logLike);
    // Same self-loop and forward log transition for each emitting state.
    void setModel(int32_t model, int32_t stateNum, float selfLoop, float forward);
    void setTrans(int32_t model, int32_t from, int32_t to, float logProb);
    int32_t frameNum() const { return m_frameNum; }

    int32_t modelCount() const override { return m_modelNum; }
    int32_t stateNum(int32_t model) const override;
    float logTrans(int32_t model, int32_t from, int32_t to) const override;
    float stateLogLike(int32_t frame, int32_t model, int32_t state) override;

private:
    size_t cell(int32_t frame, int32_t model, int32_t state) const;
    void checkModel(int32_t model) const;
    int32_t m_frameNum;
    int32_t m_modelNum;
    std::vector<float> m_logLike;                // frame x model x MAX_STATE_NUM
    std::vector<int32_t> m_stateNum;             // per model
    std::vector<float> m_trans;                  // per model, 5 x 5
};

class viterbiClass {
public:
    // Per model: frame stamp and cached value of each emitting state.
    struct stateCacheRow {
        int32_t stamp[MAX_STATE_NUM];
        float value[MAX_STATE_NUM];
    };

    int32_t modelNum;    // size of the likelihood cache
    int32_t m_arenaLen;  // candidate records in the arena
    std::vector<stateCacheRow> stateCache;         // modelNum rows
    std::unique_ptr<candidateRecord[]> arena;      // m_arenaLen records
    std::vector<candidateRecord*> candidate;       // current order; best first after a search

    // Allocates the arena (records are not cleared here: the search resets
    // what it reads) and the cache; nothing for a count of 0.
    viterbiClass(int32_t arenaLen, int32_t modelCount);
    viterbiClass(const viterbiClass&) = delete;
    viterbiClass& operator=(const viterbiClass&) = delete;

    // Aligns `frameNum` feature frames (frame-major, `dim` values each) with
    // the network. Returns the final candidate count C; candidate[0..C-1] are
    // sorted best first and stay valid until the next search or destruction.
    // Fatal errors: no single start/end node, candidateNum < 1 or above the
    // arena, too many first-frame candidates, a history limit exceeded, a
    // node of more than 50 phones, and (checked before searching) network or
    // dictionary references out of range, feature rows narrower than the
    // model streams, frameNum < 1.
    int32_t viterbiSearch(const std::vector<netNode>& nodes, const std::vector<pronEntry>& dict,
                          const float* fea, int32_t dim, int32_t frameNum, int32_t candidateNum,
                          const macroClass& macro, float probTh, int32_t useDescCandidateNum);
    // The same search over any scorer; frames are 0 .. frameNum-1 of it.
    int32_t viterbiSearch(const std::vector<netNode>& nodes, const std::vector<pronEntry>& dict,
                          acousticScorer& scorer, int32_t frameNum, int32_t candidateNum, float probTh,
                          int32_t useDescCandidateNum);

    // Log-likelihood of `model` over frames f1..f2 (3-state left-to-right
    // path, no entry or exit transition). Fewer than 3 frames: warning and
    // LOG_ZERO. With frameNum >= 0, f2 beyond the features is a fatal error.
    float modelProb(const float* fea, int32_t dim, int32_t f1, int32_t f2, const macroClass& macro,
                    int32_t modelIdx, int32_t frameNum = -1);
    float modelProb(acousticScorer& scorer, int32_t f1, int32_t f2, int32_t modelIdx);

    // State log-likelihood of feature vector x, cached per (model, state)
    // under `stamp` (the frame index): a second call with the same stamp
    // returns the cached value without evaluating the Gaussians.
    // A prepared set is evaluated through its Gaussian blocks.
    float stateLogProb(const float* x, const macroClass& macro, int32_t modelIdx, int32_t state, int32_t stamp);
    // The same value one Gaussian at a time with pairwise log-additions, the
    // way the blocks are checked against (and what an unprepared set or one
    // without blocks uses). No cache, no index checks.
    static float stateLogProbOneByOne(const float* x, const macroClass& macro, int32_t modelIdx, int32_t state);
    // Forgets every cached value.
    void resetCache();

    // Index of the first candidate (in the given order) that sits in the last
    // phone of a node whose first direct successor is the end node, first in
    // state 2, then in any state; then of one merely in such a node; else -1.
    static int32_t findBestPath(candidateRecord* const* cands, int32_t candNum, const std::vector<netNode>& nodes,
                                const std::vector<pronEntry>& dict);
    // One line per candidate: the entry names of its node records joined by
    // "-", a tab and "%7.3f" of its score; stops at the first candidate with
    // exactly one node record and after MAX_HISTORY_OUTPUT lines.
    static void writeArenaSylPath(const std::string& fileName, candidateRecord* const* cands, int32_t candNum,
                                  const std::vector<pronEntry>& dict);

    // Copies a record: by default only the used history prefix (what the
    // search and every reader look at); with setWholeRecordCopy(true) the
    // whole fixed-size record. The results are the same; the switch exists to
    // measure the difference.
    void copyCandidate(candidateRecord& dst, const candidateRecord& src) const;
    void setWholeRecordCopy(bool whole) { m_wholeRecordCopy = whole; }

    // History appends; overflow of MAX_SYL_NUM / MAX_PHONE_NUM is fatal.
    static void appendSylRecord(candidateRecord& c, int32_t dictIdx, int32_t tag, int32_t endFrame, float score);
    static void appendPhoneRecord(candidateRecord& c, int32_t pos, int32_t endFrame, float score);

private:
    bool m_wholeRecordCopy = false;
    // Feature matrix and model set the cache currently belongs to.
    const float* m_cacheFea = nullptr;
    const macroClass* m_cacheMacro = nullptr;
    // Merge slots per node (phone x 3 + state -> candidate position), valid
    // for a node only when its stamp equals the current frame.
    std::vector<int32_t> m_slot;
    std::vector<size_t> m_slotBase;  // per node: its first slot; one more entry for the end
    std::vector<int32_t> m_slotStamp;

    // Scratch of selectBest, kept between frames.
    std::vector<float> m_sortKey;
    std::vector<int32_t> m_order;
    std::vector<candidateRecord*> m_sorted;

    void useCacheFor(const float* fea, const macroClass& macro);
    // Puts the `keep` best of candidate[0 .. last-1] first, best first.
    void selectBest(int32_t last, int32_t keep);
};

}  // namespace qv
