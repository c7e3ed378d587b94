#include "engine/models/viterbi.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/models/gaussBlocks.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "viterbi";

namespace {

// What the search reads per network node, gathered once so that the frame
// loop touches one small record per candidate.
struct searchNode {
    int32_t dictIdx;
    int32_t pathFlag;
    float penalty;
    const int32_t* succ;  // word successors (nextEmitting)
    int32_t succNum;
    const int32_t* model;  // phones of the node's entry; none for a null node
    int32_t phoneNum;
};

// Per model: HTK state count and the two transitions each emitting state uses.
struct modelTopo {
    int32_t stateNum = 0;
    float selfLoop[MAX_STATE_NUM] = {};  // transP[s+1][s+1]
    float forward[MAX_STATE_NUM] = {};   // transP[s+1][s+2]; exit for the last state
};

// Log-addition with the -1e10 floor of impossible hypotheses.
inline float logAdd(float a, float b) {
    float hi = a > b ? a : b;
    float lo = a > b ? b : a;
    if (lo - hi >= -23.0259f) return hi + std::log(1.0f + std::exp(lo - hi));
    return hi < -5e9f ? LOG_ZERO : hi;
}

// Sort key: NaN (only from broken features) ranks below everything, so the
// ordering stays a strict weak order.
inline float sortKey(float v) { return std::isnan(v) ? -std::numeric_limits<float>::infinity() : v; }

void findStartEnd(const std::vector<netNode>& nodes, int32_t& start, int32_t& end) {
    const int32_t n = static_cast<int32_t>(nodes.size());
    std::vector<char> hasPred(nodes.size(), 0);
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t e : nodes[i].next) {
            if (e < 0 || e >= n)
                fatalErrorF("Error: node %d links to node %d, outside [0, %d) (line %d of %s)", i, e, n, __LINE__,
                            kUnit);
            hasPred[e] = 1;
        }
    }
    int32_t startNum = 0, endNum = 0;
    start = end = -1;
    for (int32_t i = 0; i < n; ++i) {
        if (!hasPred[i]) {
            ++startNum;
            start = i;
        }
        if (nodes[i].next.empty()) {
            ++endNum;
            end = i;
        }
    }
    if (startNum != 1) fatalErrorF("Error: more than one starting nodes! (line %d of %s)", __LINE__, kUnit);
    if (endNum != 1) fatalErrorF("Error: more than one ending nodes! (line %d of %s)", __LINE__, kUnit);
}

// Production scorer: Gaussian mixtures of the model set through the cache.
class macroScorer : public acousticScorer {
public:
    macroScorer(viterbiClass& v, const macroClass& macro, const float* fea, int32_t dim)
        : m_v(v), m_macro(macro), m_fea(fea), m_dim(dim) {}
    int32_t modelCount() const override { return m_macro.modelNum; }
    int32_t stateNum(int32_t model) const override { return m_macro.model[model].stateNum; }
    float logTrans(int32_t model, int32_t from, int32_t to) const override {
        return m_macro.model[model].transP[from][to];
    }
    float stateLogLike(int32_t frame, int32_t model, int32_t state) override {
        return m_v.stateLogProb(m_fea + static_cast<size_t>(frame) * m_dim, m_macro, model, state, frame);
    }

private:
    viterbiClass& m_v;
    const macroClass& m_macro;
    const float* m_fea;
    int32_t m_dim;
};

// Everything stateLogProb indexes with must fit the record layout and the
// feature row; checked once per search or modelProb call.
void checkMacroShape(const macroClass& macro, int32_t dim, int32_t cacheSize) {
    if (macro.modelNum > cacheSize || static_cast<size_t>(macro.modelNum) > macro.model.size())
        fatalErrorF("Error: the model set holds %d models, the search was made for %d (line %d of %s)", macro.modelNum,
                    cacheSize, __LINE__, kUnit);
    if (macro.streamNum < 0 || macro.streamNum > MAX_STREAM_NUM)
        fatalErrorF("Error: streamNum=%d, MAX_STREAM_NUM=%d (line %d of %s)", macro.streamNum, MAX_STREAM_NUM,
                    __LINE__, kUnit);
    for (int32_t k = 0; k < macro.streamNum; ++k) {
        const int32_t w = macro.streamWidth[k];
        if (w < 0 || w > MAX_PARAM_NUM || static_cast<int64_t>(w) * (k + 1) > dim)
            fatalErrorF("Error: stream %d of width %d does not fit a feature vector of %d values (line %d of %s)", k,
                        w, dim, __LINE__, kUnit);
    }
}

}  // namespace

// ---- scoreTable -----------------------------------------------------------

scoreTable::scoreTable(int32_t frameNum, int32_t modelNum, float fill)
    : m_frameNum(frameNum), m_modelNum(modelNum) {
    if (frameNum < 0 || modelNum < 0)
        fatalErrorF("Error: scoreTable of %d frames and %d models (line %d of %s)", frameNum, modelNum, __LINE__,
                    kUnit);
    m_logLike.assign(static_cast<size_t>(frameNum) * modelNum * MAX_STATE_NUM, fill);
    m_stateNum.assign(modelNum, MAX_HMM_STATE_NUM);
    m_trans.assign(static_cast<size_t>(modelNum) * MAX_HMM_STATE_NUM * MAX_HMM_STATE_NUM, 0.0f);
    for (int32_t m = 0; m < modelNum; ++m) setModel(m, MAX_HMM_STATE_NUM, std::log(0.5f), std::log(0.5f));
}

void scoreTable::checkModel(int32_t model) const {
    if (model < 0 || model >= m_modelNum)
        fatalErrorF("Error: model %d outside [0, %d) (line %d of %s)", model, m_modelNum, __LINE__, kUnit);
}

size_t scoreTable::cell(int32_t frame, int32_t model, int32_t state) const {
    if (frame < 0 || frame >= m_frameNum || state < 0 || state >= MAX_STATE_NUM)
        fatalErrorF("Error: score of frame %d, state %d outside %d frames x %d states (line %d of %s)", frame, state,
                    m_frameNum, MAX_STATE_NUM, __LINE__, kUnit);
    checkModel(model);
    return (static_cast<size_t>(frame) * m_modelNum + model) * MAX_STATE_NUM + state;
}

void scoreTable::set(int32_t frame, int32_t model, int32_t state, float logLike) {
    m_logLike[cell(frame, model, state)] = logLike;
}

void scoreTable::setModel(int32_t model, int32_t stateNum, float selfLoop, float forward) {
    checkModel(model);
    if (stateNum < 3 || stateNum > MAX_HMM_STATE_NUM)
        fatalErrorF("Error: stateNum=%d outside [3, %d] (line %d of %s)", stateNum, MAX_HMM_STATE_NUM, __LINE__,
                    kUnit);
    m_stateNum[model] = stateNum;
    for (int32_t s = 0; s + 2 < stateNum; ++s) {
        setTrans(model, s + 1, s + 1, selfLoop);
        setTrans(model, s + 1, s + 2, forward);
    }
}

void scoreTable::setTrans(int32_t model, int32_t from, int32_t to, float logProb) {
    checkModel(model);
    if (from < 0 || from >= MAX_HMM_STATE_NUM || to < 0 || to >= MAX_HMM_STATE_NUM)
        fatalErrorF("Error: transition %d -> %d outside the %dx%d matrix (line %d of %s)", from, to,
                    MAX_HMM_STATE_NUM, MAX_HMM_STATE_NUM, __LINE__, kUnit);
    m_trans[(static_cast<size_t>(model) * MAX_HMM_STATE_NUM + from) * MAX_HMM_STATE_NUM + to] = logProb;
}

int32_t scoreTable::stateNum(int32_t model) const {
    checkModel(model);
    return m_stateNum[model];
}

float scoreTable::logTrans(int32_t model, int32_t from, int32_t to) const {
    checkModel(model);
    if (from < 0 || from >= MAX_HMM_STATE_NUM || to < 0 || to >= MAX_HMM_STATE_NUM)
        fatalErrorF("Error: transition %d -> %d outside the %dx%d matrix (line %d of %s)", from, to,
                    MAX_HMM_STATE_NUM, MAX_HMM_STATE_NUM, __LINE__, kUnit);
    return m_trans[(static_cast<size_t>(model) * MAX_HMM_STATE_NUM + from) * MAX_HMM_STATE_NUM + to];
}

float scoreTable::stateLogLike(int32_t frame, int32_t model, int32_t state) {
    return m_logLike[cell(frame, model, state)];
}

// ---- viterbiClass ---------------------------------------------------------

viterbiClass::viterbiClass(int32_t arenaLen, int32_t modelCount) : modelNum(modelCount), m_arenaLen(arenaLen) {
    if (arenaLen < 0 || modelCount < 0)
        fatalErrorF("Error: m_arenaLen=%d, modelNum=%d, neither may be negative (line %d of %s)", arenaLen,
                    modelCount, __LINE__, kUnit);
    if (modelCount > 0) stateCache.resize(modelCount);
    resetCache();
    if (arenaLen > 0) {
        // Default-initialised on purpose: a record is about 40 KB and the
        // search only ever touches its header and the used history prefix,
        // so untouched pages of a large arena are never committed.
        try {
            arena.reset(new candidateRecord[arenaLen]);
            candidate.resize(arenaLen);
        } catch (const std::bad_alloc&) {
            fatalErrorF("Error: cannot allocate an arena of %d candidates (%zu bytes each) (line %d of %s)", arenaLen,
                        sizeof(candidateRecord), __LINE__, kUnit);
        }
        for (int32_t i = 0; i < arenaLen; ++i) candidate[i] = &arena[i];
    }
}

void viterbiClass::resetCache() {
    for (stateCacheRow& row : stateCache) {
        for (int32_t s = 0; s < MAX_STATE_NUM; ++s) {
            row.stamp[s] = -1;
            row.value[s] = LOG_ZERO;
        }
    }
}

void viterbiClass::useCacheFor(const float* fea, const macroClass& macro) {
    // Cached values belong to one feature matrix: a search over a sub-range
    // (or other features) followed by modelProb would otherwise reuse values
    // stamped with the same frame numbers but computed from other vectors.
    if (fea != m_cacheFea || &macro != m_cacheMacro) {
        resetCache();
        m_cacheFea = fea;
        m_cacheMacro = &macro;
    }
}

float viterbiClass::stateLogProb(const float* x, const macroClass& macro, int32_t modelIdx, int32_t state,
                                 int32_t stamp) {
    if (modelIdx < 0 || modelIdx >= modelNum || modelIdx >= macro.modelNum || state < 0 || state >= MAX_STATE_NUM)
        fatalErrorF("Error: stateLogProb of model %d, state %d (models: %d, cache: %d) (line %d of %s)", modelIdx,
                    state, macro.modelNum, modelNum, __LINE__, kUnit);
    stateCacheRow& row = stateCache[modelIdx];
    if (row.stamp[state] == stamp) return row.value[state];
    const gaussBlockSet* blocks = macro.gaussBlocks();
    const float total = blocks != nullptr && blocks->modelNum() == macro.modelNum
                            ? blocks->stateLogLike(x, modelIdx, state)
                            : stateLogProbOneByOne(x, macro, modelIdx, state);
    row.stamp[state] = stamp;
    row.value[state] = total;
    return total;
}

float viterbiClass::stateLogProbOneByOne(const float* x, const macroClass& macro, int32_t modelIdx, int32_t state) {
    const hmmState& st = macro.model[modelIdx].state[state];
    float total = 0.0f;
    for (int32_t k = 0; k < macro.streamNum; ++k) {
        const int32_t w = macro.streamWidth[k];
        const float* xs = x + static_cast<size_t>(w) * k;
        const hmmStream& stream = st.stream[k];
        const int32_t mixNum = std::min<int32_t>(stream.mixtureNum, MAX_MIXTURE_NUM);
        float acc = LOG_ZERO;
        for (int32_t j = 0; j < mixNum; ++j) {
            const hmmMixture& g = stream.mixture[j];
            if (g.weight <= -11.5f) continue;  // negligible weight: not worth the Gaussian
            float sum = 0.0f;
            for (int32_t i = 0; i < w; ++i) {
                const float d = xs[i] - g.mean[i];
                sum += d * d * g.var[i];
            }
            acc = logAdd(acc, -0.5f * (g.gconst + sum) + g.weight);
        }
        total += acc;
    }
    return total;
}

void viterbiClass::selectBest(int32_t last, int32_t keep) {
    // Only the first `keep` positions survive the frame, so they alone need
    // ordering. Equal scores keep their expansion order (what a stable sort
    // of all `last` would give), so runs are reproducible; the positions
    // after `keep` hold the other records in any order, as free slots.
    keep = std::min(keep, last);
    m_sortKey.resize(static_cast<size_t>(last));
    m_order.resize(static_cast<size_t>(last));
    for (int32_t j = 0; j < last; ++j) {
        m_sortKey[j] = sortKey(candidate[j]->score);
        m_order[j] = j;
    }
    const float* key = m_sortKey.data();
    std::partial_sort(m_order.begin(), m_order.begin() + keep, m_order.end(), [key](int32_t a, int32_t b) {
        return key[a] > key[b] || (key[a] == key[b] && a < b);
    });
    m_sorted.resize(static_cast<size_t>(last));
    for (int32_t j = 0; j < last; ++j) m_sorted[j] = candidate[m_order[j]];
    std::copy(m_sorted.begin(), m_sorted.end(), candidate.begin());
}

void viterbiClass::copyCandidate(candidateRecord& dst, const candidateRecord& src) const {
    if (&dst == &src) return;
    if (m_wholeRecordCopy) {
        std::memcpy(&dst, &src, sizeof(candidateRecord));
        return;
    }
    dst.stateIdx = src.stateIdx;
    dst.phoneIdx = src.phoneIdx;
    dst.nodeIdx = src.nodeIdx;
    dst.sylNum = src.sylNum;
    dst.score = src.score;
    dst.phoneNum = src.phoneNum;
    const size_t ns = static_cast<size_t>(std::min(std::max(src.sylNum, 0), MAX_SYL_NUM));
    const size_t np = static_cast<size_t>(std::min(std::max(src.phoneNum, 0), MAX_PHONE_NUM));
    std::memcpy(dst.sylDictIdx, src.sylDictIdx, ns * sizeof(int32_t));
    std::memcpy(dst.sylTag, src.sylTag, ns * sizeof(int32_t));
    std::memcpy(dst.sylEndFrame, src.sylEndFrame, ns * sizeof(int32_t));
    std::memcpy(dst.sylScore, src.sylScore, ns * sizeof(float));
    std::memcpy(dst.phonePos, src.phonePos, np * sizeof(int32_t));
    std::memcpy(dst.phoneEndFrame, src.phoneEndFrame, np * sizeof(int32_t));
    std::memcpy(dst.phoneScore, src.phoneScore, np * sizeof(float));
}

void viterbiClass::appendSylRecord(candidateRecord& c, int32_t dictIdx, int32_t tag, int32_t endFrame, float score) {
    if (c.sylNum < 0 || c.sylNum >= MAX_SYL_NUM) fatalErrorF("MAX_SYL_NUM exceeded! (line %d of %s)", __LINE__, kUnit);
    c.sylDictIdx[c.sylNum] = dictIdx;
    c.sylTag[c.sylNum] = tag;
    c.sylEndFrame[c.sylNum] = endFrame;
    c.sylScore[c.sylNum] = score;
    ++c.sylNum;
}

void viterbiClass::appendPhoneRecord(candidateRecord& c, int32_t pos, int32_t endFrame, float score) {
    if (c.phoneNum < 0 || c.phoneNum >= MAX_PHONE_NUM)
        fatalErrorF("MAX_PHONE_NUM (%d) exceeded! (line %d of %s)", MAX_PHONE_NUM, __LINE__, kUnit);
    c.phonePos[c.phoneNum] = pos;
    c.phoneEndFrame[c.phoneNum] = endFrame;
    c.phoneScore[c.phoneNum] = score;
    ++c.phoneNum;
}

int32_t viterbiClass::viterbiSearch(const std::vector<netNode>& nodes, const std::vector<pronEntry>& dict,
                                    const float* fea, int32_t dim, int32_t frameNum, int32_t candidateNum,
                                    const macroClass& macro, float probTh, int32_t useDescCandidateNum) {
    if (frameNum > 0 && (fea == nullptr || dim < 1))
        fatalErrorF("Error: no feature matrix to search (dim=%d) (line %d of %s)", dim, __LINE__, kUnit);
    checkMacroShape(macro, dim, modelNum);
    m_cacheFea = fea;
    m_cacheMacro = &macro;
    macroScorer scorer(*this, macro, fea, dim);
    return viterbiSearch(nodes, dict, scorer, frameNum, candidateNum, probTh, useDescCandidateNum);
}

int32_t viterbiClass::viterbiSearch(const std::vector<netNode>& nodes, const std::vector<pronEntry>& dict,
                                    acousticScorer& scorer, int32_t frameNum, int32_t candidateNum, float probTh,
                                    int32_t useDescCandidateNum) {
    if (candidateNum < 1)
        fatalErrorF("Error: candidateNum=%d, the search needs at least one candidate (is maxCandidateNum 0?) "
                    "(line %d of %s)",
                    candidateNum, __LINE__, kUnit);
    if (frameNum < 1) fatalErrorF("Error: frameNum=%d, no frame to search (line %d of %s)", frameNum, __LINE__, kUnit);

    int32_t startNode = -1, endNode = -1;
    findStartEnd(nodes, startNode, endNode);
    const int32_t nodeNum = static_cast<int32_t>(nodes.size());
    const int32_t dictNum = static_cast<int32_t>(dict.size());
    const int32_t modelCount = scorer.modelCount();

    // Gather the network and check every reference the frame loop follows,
    // so that the loop itself can index without checks.
    std::vector<modelTopo> topo(static_cast<size_t>(std::max(modelCount, 0)));
    std::vector<char> topoDone(topo.size(), 0);
    std::vector<searchNode> net(nodes.size());
    for (int32_t i = 0; i < nodeNum; ++i) {
        const netNode& nd = nodes[i];
        searchNode& sn = net[i];
        sn.dictIdx = nd.sylIndex;
        sn.pathFlag = nd.pathFlag;
        sn.penalty = nd.penalty;
        sn.succ = nd.nextEmitting.data();
        sn.succNum = static_cast<int32_t>(nd.nextEmitting.size());
        sn.model = nullptr;
        sn.phoneNum = 0;
        if (nd.sylIndex >= 0) {
            if (nd.sylIndex >= dictNum)
                fatalErrorF("Error: node %d refers to dictionary entry %d, outside [0, %d) (line %d of %s)", i,
                            nd.sylIndex, dictNum, __LINE__, kUnit);
            const std::vector<int32_t>& models = dict[nd.sylIndex].modelIndex;
            if (models.empty())
                fatalErrorF("Error: node %d: dictionary entry \"%s\" has no phones (line %d of %s)", i,
                            dict[nd.sylIndex].name.c_str(), __LINE__, kUnit);
            for (int32_t m : models) {
                if (m < 0 || m >= modelCount)
                    fatalErrorF("Error: dictionary entry \"%s\" uses model %d, outside [0, %d) (line %d of %s)",
                                dict[nd.sylIndex].name.c_str(), m, modelCount, __LINE__, kUnit);
                if (topoDone[m]) continue;
                modelTopo& tp = topo[m];
                tp.stateNum = scorer.stateNum(m);
                if (tp.stateNum < 3 || tp.stateNum > MAX_HMM_STATE_NUM)
                    fatalErrorF("Error: model %d has stateNum=%d, outside [3, %d] (line %d of %s)", m, tp.stateNum,
                                MAX_HMM_STATE_NUM, __LINE__, kUnit);
                for (int32_t s = 0; s < MAX_STATE_NUM; ++s) {
                    tp.selfLoop[s] = scorer.logTrans(m, s + 1, s + 1);
                    tp.forward[s] = scorer.logTrans(m, s + 1, std::min(s + 2, MAX_HMM_STATE_NUM - 1));
                }
                topoDone[m] = 1;
            }
            sn.model = models.data();
            sn.phoneNum = static_cast<int32_t>(models.size());
        }
    }
    for (int32_t i = 0; i < nodeNum; ++i) {
        for (int32_t k = 0; k < net[i].succNum; ++k) {
            const int32_t b = net[i].succ[k];
            if (b < 0 || b >= nodeNum || net[b].phoneNum == 0)
                fatalErrorF("Error: word successor %d of node %d is not a syllable node (line %d of %s)", b, i,
                            __LINE__, kUnit);
        }
    }

    resetCache();
    if (candidateNum > m_arenaLen)
        fatalErrorF("Error: m_arenaLen=%d, candidateNum=%d (line %d of %s)", m_arenaLen, candidateNum, __LINE__,
                    kUnit);

    // First frame.
    for (int32_t i = 0; i < m_arenaLen; ++i) {
        candidateRecord& r = arena[i];
        r.stateIdx = r.phoneIdx = r.nodeIdx = r.sylNum = r.phoneNum = 0;
        r.score = LOG_ZERO;
        candidate[i] = &r;
    }
    const bool startIsSyllable = net[startNode].phoneNum > 0;
    const int32_t nodeNumForFirstFrame = startIsSyllable ? 1 : net[startNode].succNum;
    if (nodeNumForFirstFrame > candidateNum)
        fatalErrorF("Error: nodeNumForFirstFrame=%d, candidateNum=%d (line %d of %s)", nodeNumForFirstFrame,
                    candidateNum, __LINE__, kUnit);
    for (int32_t k = 0; k < nodeNumForFirstFrame; ++k) {
        const int32_t b = startIsSyllable ? startNode : net[startNode].succ[k];
        candidateRecord& c = *candidate[k];
        c.nodeIdx = b;
        c.score = scorer.stateLogLike(0, net[b].model[0], 0);
    }

    // Merge slots: phone x 3 + state positions of each node, as many as its
    // phones have states; a null node gets one, for the copies that reach
    // the end node.
    m_slotBase.resize(static_cast<size_t>(nodeNum) + 1);
    size_t slotNum = 0;
    for (int32_t i = 0; i < nodeNum; ++i) {
        m_slotBase[i] = slotNum;
        slotNum += static_cast<size_t>(std::max(1, std::min(net[i].phoneNum * 3, MAX_STATE_NUM_IN_SYL)));
    }
    m_slotBase[nodeNum] = slotNum;
    m_slot.assign(slotNum, -1);
    m_slotStamp.assign(static_cast<size_t>(nodeNum), -1);

    int32_t candNum = candidateNum;
    for (int32_t t = 1; t < frameNum; ++t) {
        // Expansion: copies go to positions last, last+1, ...; the candidate
        // itself takes its self-loop after its copies started from its score
        // of frame t-1.
        int32_t last = candNum;
        for (int32_t i = 0; i < candNum; ++i) {
            candidateRecord& cand = *candidate[i];
            if (cand.score <= LOG_ZERO) continue;
            const searchNode& node = net[cand.nodeIdx];
            const int32_t s = cand.stateIdx;
            const int32_t p = cand.phoneIdx;
            const int32_t m = node.model[p];
            const modelTopo& tp = topo[m];
            const float oldScore = cand.score;
            bool full = false;
            if (s + 3 < tp.stateNum) {  // next state
                if (last > m_arenaLen - 1) {
                    consolePrintf("Warning: Arena is full! frameId=%d, candidateId=%d, lastPos (%d) > m_arenaLen-1 (%d)!\n",
                                  t, i, last, m_arenaLen - 1);
                    full = true;
                } else {
                    candidateRecord& nc = *candidate[last++];
                    copyCandidate(nc, cand);
                    nc.stateIdx = s + 1;
                    nc.score = oldScore + tp.forward[s] + scorer.stateLogLike(t, m, s + 1);
                }
            } else if (p + 1 < node.phoneNum) {  // next phone
                if (last > m_arenaLen - 1) {
                    consolePrintf("Warning: Arena is full! frameId=%d, candidateId=%d, lastPos (%d) > m_arenaLen-1 (%d)!\n",
                                  t, i, last, m_arenaLen - 1);
                    full = true;
                } else {
                    candidateRecord& nc = *candidate[last++];
                    copyCandidate(nc, cand);
                    nc.stateIdx = 0;
                    nc.phoneIdx = p + 1;
                    nc.score = oldScore + tp.forward[s] + scorer.stateLogLike(t, node.model[p + 1], 0);
                    appendPhoneRecord(nc, p, t - 1, nc.score);
                }
            } else {  // leave the node
                for (int32_t bi = 0; bi < node.succNum; ++bi) {
                    if (last > m_arenaLen - 1) {
                        consolePrintf("Warning: Arena is full! frameId=%d/%d, candidateId=%d/%d, branchId=%d/%d, "
                                      "lastPos (%d) > m_arenaLen-1 (%d)!\n",
                                      t, frameNum, i, candNum, bi, node.succNum, last, m_arenaLen - 1);
                        full = true;
                        break;
                    }
                    const int32_t b = node.succ[bi];
                    candidateRecord& nc = *candidate[last++];
                    copyCandidate(nc, cand);
                    nc.stateIdx = 0;
                    nc.phoneIdx = 0;
                    nc.nodeIdx = b;
                    if (b == endNode)
                        nc.score = LOG_ZERO;
                    else
                        nc.score = oldScore + tp.forward[s] + scorer.stateLogLike(t, net[b].model[0], 0) +
                                   net[b].penalty;
                    appendSylRecord(nc, node.dictIdx, node.pathFlag, t - 1, nc.score);
                    appendPhoneRecord(nc, p, t - 1, nc.score);
                }
            }
            cand.score = oldScore + tp.selfLoop[s] + scorer.stateLogLike(t, m, s);
            if (full) break;  // later candidates keep their scores this frame
        }

        // Merge: one survivor per (node, phone, state); ties keep the earlier.
        for (int32_t j = 0; j < last; ++j) {
            candidateRecord& c = *candidate[j];
            const int32_t index = c.phoneIdx * 3 + c.stateIdx;
            if (index > MAX_STATE_NUM_IN_SYL - 1)
                fatalErrorF("MAX_STATE_NUM_IN_SYL exceeded: index=%d, MAX_STATE_NUM_IN_SYL=%d (line %d of %s)", index,
                            MAX_STATE_NUM_IN_SYL, __LINE__, kUnit);
            int32_t* slots = m_slot.data() + m_slotBase[c.nodeIdx];
            if (m_slotBase[c.nodeIdx] + static_cast<size_t>(index) >= m_slotBase[c.nodeIdx + 1])
                fatalErrorF("Error: candidate at phone %d, state %d of node %d, which has %d phones (line %d of %s)",
                            c.phoneIdx, c.stateIdx, c.nodeIdx, net[c.nodeIdx].phoneNum, __LINE__, kUnit);
            if (m_slotStamp[c.nodeIdx] != t) {
                std::fill(slots, m_slot.data() + m_slotBase[c.nodeIdx + 1], -1);
                m_slotStamp[c.nodeIdx] = t;
            }
            int32_t& slot = slots[index];
            if (slot == -1) {
                slot = j;
            } else if (candidate[slot]->score < c.score) {
                candidate[slot]->score = LOG_ZERO;
                slot = j;
            } else {
                c.score = LOG_ZERO;
            }
        }

        if (useDescCandidateNum) {
            double factor = 1.0;
            if (t == 60 || t == 75)
                factor = 0.8;
            else if (t == 100)
                factor = 0.7;
            else if (t == 120)
                factor = 0.6;
            // Never below one: a width of 0 would drop every hypothesis and
            // leave a path that ends in the middle of the utterance.
            if (factor != 1.0) candNum = std::max(1, static_cast<int32_t>(candNum * factor));
        }
        selectBest(last, candNum);

        const float best = candidate[0]->score;
        for (int32_t i = 0; i < candNum; ++i) {
            if (best - candidate[i]->score > probTh) {
                for (int32_t k = i; k < candNum; ++k) candidate[k]->score = LOG_ZERO;
                break;
            }
        }
    }

    // Closing records for the candidates that may be reported.
    for (int32_t i = 0; i <= MAX_HISTORY_OUTPUT && i < candNum; ++i) {
        candidateRecord& c = *candidate[i];
        if (c.nodeIdx == endNode) continue;
        appendSylRecord(c, net[c.nodeIdx].dictIdx, net[c.nodeIdx].pathFlag, frameNum - 1, c.score);
        appendPhoneRecord(c, c.phoneIdx, frameNum - 1, c.score);
    }
    return candNum;
}

float viterbiClass::modelProb(const float* fea, int32_t dim, int32_t f1, int32_t f2, const macroClass& macro,
                              int32_t modelIdx, int32_t frameNum) {
    if (f2 - f1 + 1 >= MAX_STATE_NUM) {
        if (fea == nullptr || dim < 1)
            fatalErrorF("Error: no feature matrix for modelProb (dim=%d) (line %d of %s)", dim, __LINE__, kUnit);
        if (frameNum >= 0 && f2 >= frameNum)
            fatalErrorF("Error: modelProb over frames %d..%d of %d (line %d of %s)", f1, f2, frameNum, __LINE__,
                        kUnit);
        checkMacroShape(macro, dim, modelNum);
    }
    useCacheFor(fea, macro);
    macroScorer scorer(*this, macro, fea, dim);
    return modelProb(scorer, f1, f2, modelIdx);
}

float viterbiClass::modelProb(acousticScorer& scorer, int32_t f1, int32_t f2, int32_t modelIdx) {
    const int32_t n = f2 - f1 + 1;
    if (n < MAX_STATE_NUM) {
        consolePrintf("Warning in viterbiClass::modelProb: modelIdx=%d, frameId1=%d, frameId2=%d, frameNum=%d<MAX_STATE_NUM=%d\n",
                      modelIdx, f1, f2, n, MAX_STATE_NUM);
        return LOG_ZERO;
    }
    if (f1 < 0) fatalErrorF("Error: modelProb from frame %d (line %d of %s)", f1, __LINE__, kUnit);
    if (modelIdx < 0 || modelIdx >= scorer.modelCount())
        fatalErrorF("Error: modelProb of model %d, outside [0, %d) (line %d of %s)", modelIdx, scorer.modelCount(),
                    __LINE__, kUnit);
    const float t11 = scorer.logTrans(modelIdx, 1, 1);
    const float t12 = scorer.logTrans(modelIdx, 1, 2);
    const float t22 = scorer.logTrans(modelIdx, 2, 2);
    const float t23 = scorer.logTrans(modelIdx, 2, 3);
    const float t33 = scorer.logTrans(modelIdx, 3, 3);
    // Only the last row of the n x 3 table is needed, so two rows suffice.
    float prev[MAX_STATE_NUM] = {scorer.stateLogLike(f1, modelIdx, 0), LOG_ZERO, LOG_ZERO};
    float cur[MAX_STATE_NUM];
    for (int32_t k = 1; k < n; ++k) {
        const int32_t f = f1 + k;
        cur[0] = prev[0] + t11 + scorer.stateLogLike(f, modelIdx, 0);
        const float in1 = prev[0] + t12, stay1 = prev[1] + t22;
        cur[1] = (in1 > stay1 ? in1 : stay1) + scorer.stateLogLike(f, modelIdx, 1);
        const float in2 = prev[1] + t23, stay2 = prev[2] + t33;
        cur[2] = (in2 > stay2 ? in2 : stay2) + scorer.stateLogLike(f, modelIdx, 2);
        std::copy(cur, cur + MAX_STATE_NUM, prev);
    }
    return prev[2];
}

int32_t viterbiClass::findBestPath(candidateRecord* const* cands, int32_t candNum, const std::vector<netNode>& nodes,
                                   const std::vector<pronEntry>& dict) {
    int32_t startNode = -1, endNode = -1;
    findStartEnd(nodes, startNode, endNode);
    const int32_t nodeNum = static_cast<int32_t>(nodes.size());
    for (int32_t pass = 1; pass <= 3; ++pass) {
        for (int32_t i = 0; i < candNum; ++i) {
            const candidateRecord& c = *cands[i];
            if (c.nodeIdx < 0 || c.nodeIdx >= nodeNum) continue;
            const netNode& nd = nodes[c.nodeIdx];
            if (nd.next.empty() || nd.next[0] != endNode) continue;
            if (pass < 3) {
                if (nd.sylIndex < 0 || nd.sylIndex >= static_cast<int32_t>(dict.size())) continue;
                if (c.phoneIdx != static_cast<int32_t>(dict[nd.sylIndex].modelIndex.size()) - 1) continue;
                if (pass == 1 && c.stateIdx != 2) continue;
            }
            return i;
        }
    }
    return -1;
}

void viterbiClass::writeArenaSylPath(const std::string& fileName, candidateRecord* const* cands, int32_t candNum,
                                     const std::vector<pronEntry>& dict) {
    FILE* fp = openOrDie(fileName, "w");
    const int32_t dictNum = static_cast<int32_t>(dict.size());
    int32_t lines = 0;
    for (int32_t i = 0; i < candNum && lines < MAX_HISTORY_OUTPUT; ++i) {
        const candidateRecord& c = *cands[i];
        if (c.sylNum == 1) break;
        std::string path;
        const int32_t sylNum = std::min(std::max(c.sylNum, 0), MAX_SYL_NUM);
        for (int32_t k = 0; k < sylNum; ++k) {
            const int32_t d = c.sylDictIdx[k];
            if (d < 0 || d >= dictNum) {
                fclose(fp);
                fatalErrorF("Error: candidate %d, node record %d: dictionary entry %d outside [0, %d) (line %d of %s)",
                            i, k, d, dictNum, __LINE__, kUnit);
            }
            if (k > 0) path += '-';
            path += dict[d].name;
        }
        fprintf(fp, "%s\t%7.3f\n", path.c_str(), c.score);
        ++lines;
    }
    fclose(fp);
}

}  // namespace qv
