#include "tools/common/trainHmm.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "engine/utility.h"

namespace qv {

namespace {

const char* const kUnit = "trainHmm";
constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr int kStates = MAX_STATE_NUM;
constexpr int kWidth = MAX_PARAM_NUM;
constexpr int kMixStride = 1 + 2 * kWidth;  // occupancy, sum x, sum x^2
constexpr double kMinPost = 1e-7;          // smaller frame posteriors are not accumulated
constexpr double kMinWeight = 1e-5;

inline double logAdd(double a, double b) {
    if (a < b) std::swap(a, b);
    if (b == kNegInf) return a;
    return a + std::log1p(std::exp(b - a));
}

inline size_t mixIndex(int ps, int stream, int mix) {
    return (static_cast<size_t>(ps) * MAX_STREAM_NUM + stream) * MAX_MIXTURE_NUM + mix;
}

}  // namespace

// Per-thread statistics of one iteration.
struct hmmTrainer::accum {
    std::vector<double> mix;    // mixIndex(...) * kMixStride
    std::vector<double> occ;    // per physical state
    std::vector<double> stay;   // self-loop transitions taken
    std::vector<double> leave;  // transitions out of the state
    trainStats stats;

    explicit accum(int32_t modelNum) {
        const size_t ps = static_cast<size_t>(modelNum) * kStates;
        mix.assign(ps * MAX_STREAM_NUM * MAX_MIXTURE_NUM * kMixStride, 0.0);
        occ.assign(ps, 0.0);
        stay.assign(ps, 0.0);
        leave.assign(ps, 0.0);
    }
    void add(const accum& o) {
        for (size_t i = 0; i < mix.size(); ++i) mix[i] += o.mix[i];
        for (size_t i = 0; i < occ.size(); ++i) {
            occ[i] += o.occ[i];
            stay[i] += o.stay[i];
            leave[i] += o.leave[i];
        }
        stats.logLik += o.stats.logLik;
        stats.frames += o.stats.frames;
        stats.aligned += o.stats.aligned;
        stats.failed += o.stats.failed;
    }
};

// The utterance as one left-to-right HMM of emitting states.
struct hmmTrainer::composite {
    struct edge {
        int to;
        double logP;
    };
    std::vector<int32_t> model;
    std::vector<int> state;
    std::vector<double> selfLog;
    std::vector<std::vector<edge>> next;  // forward edges (self-loop excluded)
    std::vector<edge> entries;            // first-frame states and their log probabilities
    std::vector<edge> exits;              // last-frame states and their exit log probabilities
    int minFrames = 0;                    // emitting states on the shortest path
    bool silEnds = false;                 // states 0..2 and the last three are the two sil models
};

void hmmTrainer::defineModels(const std::vector<std::string>& namesIn, int streams, int width) {
    if (streams < 1 || streams > MAX_STREAM_NUM || width < 1 || width > MAX_PARAM_NUM)
        fatalErrorF("Unsupported feature layout: %d streams of %d (line %d of %s)", streams, width, __LINE__, kUnit);
    std::vector<std::string> names = namesIn;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    m_set.freeMacro();
    m_set.streamNum = streams;
    for (int s = 0; s < streams; ++s) m_set.streamWidth[s] = width;
    const std::string header = strFormat("<VECSIZE> %d<NULLD><MFCC_E_D_A><DIAGC>", streams * width);
    snprintf(m_set.header, sizeof(m_set.header), "%s", header.c_str());
    m_set.allocModels(static_cast<int32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].size() >= MODEL_NAME_BIN_LEN)
            fatalErrorF("Model name \"%s\" longer than %d characters (line %d of %s)", names[i].c_str(),
                        MODEL_NAME_BIN_LEN - 1, __LINE__, kUnit);
        macroClass::setModelName(m_set.model[i], names[i]);
    }
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        hmmModel& h = m_set.model[m];
        h.stateNum = (names[m] == "sp") ? 3 : kStates + 2;
        for (int s = 0; s < h.stateNum - 2; ++s)
            for (int k = 0; k < streams; ++k) h.state[s].streamWeight[k] = 1.0f;
    }
    indexModels();
    m_varFloor.assign(static_cast<size_t>(MAX_STREAM_NUM) * kWidth, 0.0);
}

void hmmTrainer::loadModels(const std::string& path) {
    macroClass set;
    set.readMacro(path, false);
    set.sortModels();
    for (int32_t m = 0; m < set.modelNum; ++m) {
        const hmmModel& h = set.model[m];
        if (h.stateNum != kStates + 2 && !(h.stateNum == 3 && strcmp(h.name, "sp") == 0))
            fatalErrorF("Model \"%s\" has %d states; the trainer handles 5 (3 for sp) (line %d of %s)", h.name,
                        h.stateNum, __LINE__, kUnit);
    }
    for (int k = 1; k < set.streamNum; ++k)
        if (set.streamWidth[k] != set.streamWidth[0])
            fatalErrorF("Streams of different widths in %s (line %d of %s)", path.c_str(), __LINE__, kUnit);
    m_set = set;
    if (m_set.header[0] == '\0')
        snprintf(m_set.header, sizeof(m_set.header), "<VECSIZE> %d<NULLD><MFCC_E_D_A><DIAGC>",
                 m_set.streamNum * m_set.streamWidth[0]);
    indexModels();
    m_varFloor.assign(static_cast<size_t>(MAX_STREAM_NUM) * kWidth, 0.0);
    refreshCache();
}

void hmmTrainer::indexModels() {
    m_sil = modelIndex("sil");
    m_sp = modelIndex("sp");
    if (m_sil < 0 || m_sp < 0) fatalErrorF("The model set needs \"sil\" and \"sp\" (line %d of %s)", __LINE__, kUnit);
    m_filler = modelIndex("filler");
    m_fillerC = modelIndex("fillerC");
    m_fillerV = modelIndex("fillerV");
    m_kind.assign(m_set.modelNum, 0);
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        if (m == m_sil || m == m_sp || isGarbage(m)) continue;
        m_kind[m] = strchr(m_set.model[m].name, '+') != nullptr ? 1 : 2;
    }
    m_stateOcc.assign(static_cast<size_t>(m_set.modelNum) * kStates, 0.0);
}

int32_t hmmTrainer::modelIndex(const std::string& name) const {
    int32_t lo = 0, hi = m_set.modelNum - 1;
    while (lo <= hi) {
        const int32_t mid = (lo + hi) / 2;
        const int c = strcmp(name.c_str(), m_set.model[mid].name);
        if (c == 0) return mid;
        if (c < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    return -1;
}

bool hmmTrainer::isGarbage(int32_t m) const { return m >= 0 && (m == m_filler || m == m_fillerC || m == m_fillerV); }

int hmmTrainer::physicalState(int32_t m, int s) const { return m == m_sp ? m_sil * kStates + 1 : m * kStates + s; }

double hmmTrainer::stateOcc(int32_t m, int s) const {
    if (m < 0 || m >= m_set.modelNum || s < 0 || s >= kStates) return 0.0;
    return m_stateOcc[physicalState(m, s)];
}

void hmmTrainer::flatStart(const std::vector<trainUtterance>& utts, int edgeFrames) {
    const int dim = m_set.streamNum * m_set.streamWidth[0];
    std::vector<double> sum(dim, 0.0), sq(dim, 0.0), silSum(dim, 0.0), silSq(dim, 0.0);
    double n = 0.0, silN = 0.0;
    for (const trainUtterance& u : utts) {
        for (int t = 0; t < u.frameNum; ++t) {
            const float* x = u.fea + static_cast<size_t>(t) * dim;
            const bool edge = t < edgeFrames || t >= u.frameNum - edgeFrames;
            for (int d = 0; d < dim; ++d) {
                sum[d] += x[d];
                sq[d] += static_cast<double>(x[d]) * x[d];
                if (edge) {
                    silSum[d] += x[d];
                    silSq[d] += static_cast<double>(x[d]) * x[d];
                }
            }
            n += 1.0;
            if (edge) silN += 1.0;
        }
    }
    if (n < 2.0) fatalErrorF("Too few frames (%.0f) for a flat start (line %d of %s)", n, __LINE__, kUnit);
    const int width = m_set.streamWidth[0];
    for (int d = 0; d < dim; ++d) {
        const double mean = sum[d] / n;
        const double var = std::max(sq[d] / n - mean * mean, 1e-6);
        m_varFloor[d] = m_cfg.varFloorScale * var;
    }
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        hmmModel& h = m_set.model[m];
        const bool useSil = (m == m_sil || m == m_sp) && silN >= 2.0;
        const double cnt = useSil ? silN : n;
        const std::vector<double>& s1 = useSil ? silSum : sum;
        const std::vector<double>& s2 = useSil ? silSq : sq;
        for (int s = 0; s < h.stateNum - 2; ++s) {
            for (int k = 0; k < m_set.streamNum; ++k) {
                hmmStream& st = h.state[s].stream[k];
                st = hmmStream{};
                st.mixtureNum = 1;
                hmmMixture& g = st.mixture[0];
                g.weight = 1.0f;
                for (int d = 0; d < width; ++d) {
                    const int j = k * width + d;
                    const double mean = s1[j] / cnt;
                    g.mean[d] = static_cast<float>(mean);
                    g.var[d] = static_cast<float>(std::max(s2[j] / cnt - mean * mean, m_varFloor[j]));
                }
                g.gconst = macroClass::computeGconst(g.var, width);
            }
        }
        memset(h.transP, 0, sizeof(h.transP));
        h.transP[0][1] = 1.0f;
        for (int i = 1; i < h.stateNum - 1; ++i) {
            h.transP[i][i] = 0.6f;
            h.transP[i][i + 1] = 0.4f;
        }
    }
    syncTiedStates();
}

int32_t hmmTrainer::segmentalStart(const std::vector<trainUtterance>& utts, int edgeFrames) {
    accum acc(m_set.modelNum);
    const int dim = m_set.streamNum * m_set.streamWidth[0];
    int32_t used = 0;
    std::vector<std::pair<int32_t, int>> seq;
    for (const trainUtterance& u : utts) {
        seq.clear();
        for (int32_t m : u.models) {
            if (m < 0 || m >= m_set.modelNum)
                fatalErrorF("Model index %d out of range 0..%d (line %d of %s)", m, m_set.modelNum - 1, __LINE__, kUnit);
            for (int s = 0; s < m_set.model[m].stateNum - 2; ++s) seq.push_back({m, s});
        }
        const int T = u.frameNum;
        const int n = static_cast<int>(seq.size());
        const int e = std::min(edgeFrames, T / 4);
        // Marked silence, where there is some, sets the sil segments.
        const int eLead = u.silLead >= 3 ? u.silLead : e;
        const int eTrail = u.silTrail >= 3 ? u.silTrail : e;
        const bool silEnds = n >= 6 && u.models.front() == m_sil && u.models.back() == m_sil;
        // Segments: [start, end) frame ranges per sequence state.
        std::vector<int> start(n + 1);
        if (silEnds && eLead >= 3 && eTrail >= 3 && T - eLead - eTrail >= n - 6) {
            for (int k = 0; k < 3; ++k) {
                start[k] = k * eLead / 3;
                start[n - 3 + k] = T - eTrail + k * eTrail / 3;
            }
            for (int k = 3; k < n - 3; ++k) start[k] = eLead + (k - 3) * (T - eLead - eTrail) / (n - 6);
        } else if (T >= n) {
            for (int k = 0; k < n; ++k) start[k] = k * T / n;
        } else {
            continue;
        }
        start[n] = T;
        for (int k = 0; k < n; ++k) {
            const int32_t m = seq[k].first;
            const int s = seq[k].second;
            int32_t gm[2];
            int ng = 0;
            if (m_kind[m] == 1 && m_fillerC >= 0) gm[ng++] = m_fillerC;
            if (m_kind[m] == 2 && m_fillerV >= 0) gm[ng++] = m_fillerV;
            if (m_kind[m] != 0 && m_filler >= 0 && ng < 2) gm[ng++] = m_filler;
            for (int t = start[k]; t < start[k + 1]; ++t) {
                const float* x = u.fea + static_cast<size_t>(t) * dim;
                accumulateFrame(m, s, x, 1.0, acc);
                for (int q = 0; q < ng; ++q) accumulateFrame(gm[q], s, x, 1.0, acc);
            }
            const double len = start[k + 1] - start[k];
            if (len < 1.0) continue;
            acc.stay[physicalState(m, s)] += len - 1.0;
            acc.leave[physicalState(m, s)] += 1.0;
            for (int q = 0; q < ng; ++q) {
                acc.stay[physicalState(gm[q], s)] += len - 1.0;
                acc.leave[physicalState(gm[q], s)] += 1.0;
            }
        }
        used++;
    }
    update(acc);
    return used;
}

double hmmTrainer::streamLogLik(int ps, int k, const float* xs, double* logs) const {
    const hmmModel& h = m_set.model[ps / kStates];
    const hmmStream& str = h.state[ps % kStates].stream[k];
    const int width = m_set.streamWidth[k];
    double lse = kNegInf;
    for (int j = 0; j < str.mixtureNum; ++j) {
        const size_t mi = mixIndex(ps, k, j);
        const double c = m_logConst[mi];
        if (c == kNegInf) {
            if (logs) logs[j] = kNegInf;
            continue;
        }
        const float* mean = str.mixture[j].mean;
        const float* ivar = &m_invVar[mi * kWidth];
        double d2 = 0.0;
        for (int d = 0; d < width; ++d) {
            const double diff = xs[d] - mean[d];
            d2 += diff * diff * ivar[d];
        }
        const double v = c - 0.5 * d2;
        if (logs) logs[j] = v;
        lse = logAdd(lse, v);
    }
    return lse;
}

void hmmTrainer::refreshCache() {
    const size_t n = static_cast<size_t>(m_set.modelNum) * kStates * MAX_STREAM_NUM * MAX_MIXTURE_NUM;
    m_logConst.assign(n, kNegInf);
    m_invVar.assign(n * kWidth, 0.0f);
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        const hmmModel& h = m_set.model[m];
        for (int s = 0; s < h.stateNum - 2; ++s)
            for (int k = 0; k < m_set.streamNum; ++k) {
                const hmmStream& str = h.state[s].stream[k];
                for (int j = 0; j < str.mixtureNum; ++j) {
                    const hmmMixture& g = str.mixture[j];
                    const size_t mi = mixIndex(m * kStates + s, k, j);
                    if (g.weight <= 0.0f) continue;
                    const float gconst = macroClass::computeGconst(g.var, m_set.streamWidth[k]);
                    m_logConst[mi] = std::log(static_cast<double>(g.weight)) - 0.5 * gconst;
                    for (int d = 0; d < m_set.streamWidth[k]; ++d)
                        m_invVar[mi * kWidth + d] = static_cast<float>(1.0 / g.var[d]);
                }
            }
    }
}

double hmmTrainer::stateLogLik(int32_t m, int s, const float* x) const {
    const int ps = physicalState(m, s);
    double total = 0.0;
    for (int k = 0; k < m_set.streamNum; ++k) total += streamLogLik(ps, k, x + k * m_set.streamWidth[0], nullptr);
    return total;
}

void hmmTrainer::buildComposite(const trainUtterance& u, composite& c) const {
    c = composite();
    const double spTake = m_cfg.spLogProb;
    const double spSkip = std::log(std::max(1e-10, 1.0 - std::exp(spTake)));
    // Pending edges from the last states of the previous model(s) into the next.
    std::vector<composite::edge> pending;
    auto addModel = [&](int32_t m) {
        if (m < 0 || m >= m_set.modelNum)
            fatalErrorF("Model index %d out of range 0..%d (line %d of %s)", m, m_set.modelNum - 1, __LINE__, kUnit);
        const hmmModel& h = m_set.model[m];
        const int n = h.stateNum - 2;
        const int first = static_cast<int>(c.model.size());
        for (const composite::edge& e : pending) c.next[e.to].push_back({first, e.logP});
        pending.clear();
        for (int s = 0; s < n; ++s) {
            c.model.push_back(m);
            c.state.push_back(s);
            c.selfLog.push_back(std::log(std::max(1e-10, static_cast<double>(h.transP[s + 1][s + 1]))));
            c.next.emplace_back();
            const double fwd = std::log(std::max(1e-10, static_cast<double>(h.transP[s + 1][s + 2])));
            if (s + 1 < n) c.next.back().push_back({first + s + 1, fwd});
            else pending.push_back({first + s, fwd});  // `to` holds the source until resolved
        }
    };
    const size_t M = u.models.size();
    const bool silEnds = m_cfg.silSkipLogProb > kNegInf && M >= 3 && u.models.front() == m_sil && u.models.back() == m_sil;
    const double silSkip = m_cfg.silSkipLogProb;
    const double silKeep = std::log(std::max(1e-10, 1.0 - std::exp(silSkip)));
    std::vector<composite::edge> preExit;
    for (size_t i = 0; i < M; ++i) {
        if (silEnds && i + 1 == M) {
            // The last speech state ends the utterance or goes on into sil.
            for (composite::edge& e : pending) {
                preExit.push_back({e.to, e.logP + silSkip});
                e.logP += silKeep;
            }
        }
        addModel(u.models[i]);
        c.minFrames += m_set.model[u.models[i]].stateNum - 2;
        if (i + 1 < u.models.size() && i < u.spAfter.size() && u.spAfter[i]) {
            // Last state -> sp (taken) or straight on (skipped).
            const composite::edge out = pending.back();
            pending.clear();
            pending.push_back({out.to, out.logP + spTake});
            addModel(m_sp);
            pending.push_back({out.to, out.logP + spSkip});
        }
    }
    // `pending` now holds the exit of the last state.
    c.silEnds = silEnds;
    if (silEnds) {
        const int silStates = m_set.model[m_sil].stateNum - 2;
        c.entries = {{0, silKeep}, {silStates, silSkip}};
        c.exits = preExit;
        for (const composite::edge& e : pending) c.exits.push_back({e.to, e.logP + silKeep});
        c.minFrames -= 2 * silStates;
    } else {
        c.entries = {{0, 0.0}};
        c.exits = pending;
    }
}

double hmmTrainer::fbCore(const trainUtterance& u, composite& c, std::vector<double>& b, std::vector<double>& alpha,
                          std::vector<double>& beta) const {
    buildComposite(u, c);
    const int N = static_cast<int>(c.model.size());
    const int T = u.frameNum;
    if (N == 0 || T < c.minFrames || T < 1) return LOG_ZERO;
    const int dim = m_set.streamNum * m_set.streamWidth[0];
    b.assign(static_cast<size_t>(T) * N, 0.0);
    alpha.assign(b.size(), kNegInf);
    beta.assign(b.size(), kNegInf);
    // Frames marked as leading or trailing silence belong to the sil at
    // that end; the speech states may not take them.
    const int silStates = c.silEnds ? m_set.model[m_sil].stateNum - 2 : 0;
    const int lead = c.silEnds ? std::min(u.silLead, T) : 0;
    const int trail = c.silEnds ? std::min(u.silTrail, T - lead) : 0;
    auto barred = [&](int t, int j) {
        return (t < lead && j >= silStates) || (t >= T - trail && j < N - silStates);
    };
    // Output densities only where the backward pass keeps a state: with a
    // real beam most states of a long sentence are never visited.
    auto fillB = [&](int t) {
        const float* x = u.fea + static_cast<size_t>(t) * dim;
        for (int j = 0; j < N; ++j)
            if (beta[t * N + j] != kNegInf) b[t * N + j] = stateLogLik(c.model[j], c.state[j], x);
    };

    // Backward pass first, pruned to a beam around each frame's best value;
    // the forward pass then only visits states the backward pass kept.
    for (const composite::edge& e : c.exits)
        if (!barred(T - 1, e.to)) beta[(T - 1) * N + e.to] = logAdd(beta[(T - 1) * N + e.to], e.logP);
    for (int t = T - 2; t >= 0; --t) {
        fillB(t + 1);
        double best = kNegInf;
        for (int i = 0; i < N; ++i) {
            if (barred(t, i)) continue;
            const double bs = beta[(t + 1) * N + i];
            double v = bs == kNegInf ? kNegInf : c.selfLog[i] + b[(t + 1) * N + i] + bs;
            for (const composite::edge& e : c.next[i]) {
                const double bj = beta[(t + 1) * N + e.to];
                if (bj != kNegInf) v = logAdd(v, e.logP + b[(t + 1) * N + e.to] + bj);
            }
            beta[t * N + i] = v;
            best = std::max(best, v);
        }
        for (int i = 0; i < N; ++i)
            if (beta[t * N + i] < best - m_cfg.beam) beta[t * N + i] = kNegInf;
    }
    fillB(0);
    bool started = false;
    for (const composite::edge& e : c.entries)
        if (beta[e.to] != kNegInf) {
            alpha[e.to] = e.logP + b[e.to];
            started = true;
        }
    if (!started) return LOG_ZERO;
    for (int t = 1; t < T; ++t) {
        for (int i = 0; i < N; ++i) {
            const double a = alpha[(t - 1) * N + i];
            if (a == kNegInf) continue;
            alpha[t * N + i] = logAdd(alpha[t * N + i], a + c.selfLog[i]);
            for (const composite::edge& e : c.next[i]) alpha[t * N + e.to] = logAdd(alpha[t * N + e.to], a + e.logP);
        }
        double best = kNegInf;
        for (int j = 0; j < N; ++j) {
            double& v = alpha[t * N + j];
            if (v == kNegInf) continue;
            if (beta[t * N + j] == kNegInf) v = kNegInf;
            else v += b[t * N + j];
            best = std::max(best, v);
        }
        for (int j = 0; j < N; ++j)
            if (alpha[t * N + j] < best - m_cfg.beam) alpha[t * N + j] = kNegInf;
    }
    double P = kNegInf;
    for (const composite::edge& e : c.exits)
        if (alpha[(T - 1) * N + e.to] != kNegInf) P = logAdd(P, alpha[(T - 1) * N + e.to] + e.logP);
    return P == kNegInf ? LOG_ZERO : P;
}

double hmmTrainer::forwardBackward(const trainUtterance& u, std::vector<double>& gamma,
                                   std::vector<int32_t>& compositeModels, std::vector<int>& compositeStates) const {
    composite c;
    std::vector<double> b, alpha, beta;
    const double P = fbCore(u, c, b, alpha, beta);
    compositeModels = c.model;
    compositeStates = c.state;
    gamma.assign(c.model.size() * static_cast<size_t>(std::max(u.frameNum, 0)), 0.0);
    if (P <= LOG_ZERO) return LOG_ZERO;
    for (size_t i = 0; i < gamma.size(); ++i)
        if (alpha[i] != kNegInf && beta[i] != kNegInf) gamma[i] = std::exp(alpha[i] + beta[i] - P);
    return P;
}

void hmmTrainer::accumulateFrame(int32_t m, int s, const float* x, double post, accum& acc) const {
    const int ps = physicalState(m, s);
    const hmmState& st = m_set.model[ps / kStates].state[ps % kStates];
    acc.occ[ps] += post;
    double logs[MAX_MIXTURE_NUM];
    const float* xs = x;
    for (int k = 0; k < m_set.streamNum; ++k) {
        const int width = m_set.streamWidth[k];
        const int mixNum = st.stream[k].mixtureNum;
        const double lse = mixNum == 1 ? 0.0 : streamLogLik(ps, k, xs, logs);
        for (int j = 0; j < mixNum; ++j) {
            const double p = mixNum == 1 ? post : (logs[j] == kNegInf ? 0.0 : post * std::exp(logs[j] - lse));
            if (p < kMinPost) continue;
            double* a = &acc.mix[mixIndex(ps, k, j) * kMixStride];
            a[0] += p;
            for (int d = 0; d < width; ++d) {
                a[1 + d] += p * xs[d];
                a[1 + kWidth + d] += p * static_cast<double>(xs[d]) * xs[d];
            }
        }
        xs += width;
    }
}

double hmmTrainer::runUtterance(const trainUtterance& u, accum& acc) const {
    composite c;
    std::vector<double> b, alpha, beta;
    const double P = fbCore(u, c, b, alpha, beta);
    if (P <= LOG_ZERO) {
        acc.stats.failed++;
        return P;
    }
    const int N = static_cast<int>(c.model.size());
    const int T = u.frameNum;
    const int dim = m_set.streamNum * m_set.streamWidth[0];
    // The garbage models learn from the posteriors of the phones they stand for.
    auto garbageOf = [&](int32_t m, int32_t out[2]) {
        int n = 0;
        if (m_kind[m] == 1 && m_fillerC >= 0) out[n++] = m_fillerC;
        if (m_kind[m] == 2 && m_fillerV >= 0) out[n++] = m_fillerV;
        if (m_kind[m] != 0 && m_filler >= 0) out[n++] = m_filler;
        return n;
    };
    for (int t = 0; t < T; ++t) {
        const float* x = u.fea + static_cast<size_t>(t) * dim;
        for (int j = 0; j < N; ++j) {
            const size_t at = static_cast<size_t>(t) * N + j;
            if (alpha[at] == kNegInf || beta[at] == kNegInf) continue;
            const double g = std::exp(alpha[at] + beta[at] - P);
            if (g < kMinPost) continue;
            accumulateFrame(c.model[j], c.state[j], x, g, acc);
            int32_t gm[2];
            const int ng = garbageOf(c.model[j], gm);
            for (int q = 0; q < ng; ++q) accumulateFrame(gm[q], c.state[j], x, g, acc);
        }
    }
    auto addTrans = [&](int32_t m, int s, bool stay, double xi) {
        (stay ? acc.stay : acc.leave)[physicalState(m, s)] += xi;
        int32_t gm[2];
        const int ng = garbageOf(m, gm);
        for (int q = 0; q < ng; ++q) (stay ? acc.stay : acc.leave)[physicalState(gm[q], s)] += xi;
    };
    // xi_t(i -> j) = alpha_t(i) a_ij b_j(t+1) beta_t+1(j) / P
    for (int t = 0; t + 1 < T; ++t)
        for (int i = 0; i < N; ++i) {
            const double a = alpha[t * N + i];
            if (a == kNegInf) continue;
            const double bs = beta[(t + 1) * N + i];
            if (bs != kNegInf)
                addTrans(c.model[i], c.state[i], true, std::exp(a + c.selfLog[i] + b[(t + 1) * N + i] + bs - P));
            for (const composite::edge& e : c.next[i]) {
                const double bj = beta[(t + 1) * N + e.to];
                if (bj != kNegInf)
                    addTrans(c.model[i], c.state[i], false, std::exp(a + e.logP + b[(t + 1) * N + e.to] + bj - P));
            }
        }
    // The final exit out of the last state.
    for (const composite::edge& e : c.exits) {
        const double a = alpha[static_cast<size_t>(T - 1) * N + e.to];
        if (a != kNegInf) addTrans(c.model[e.to], c.state[e.to], false, std::exp(a + e.logP - P));
    }
    acc.stats.logLik += P;
    acc.stats.frames += T;
    acc.stats.aligned++;
    return P;
}

trainStats hmmTrainer::iterate(const std::vector<trainUtterance>& utts) {
    const int nThreads = std::max(1, m_cfg.threads);
    std::vector<accum> accs;
    accs.reserve(nThreads);
    for (int k = 0; k < nThreads; ++k) accs.emplace_back(m_set.modelNum);
    std::vector<std::string> errors(nThreads);
    auto work = [&](int k) {
        try {
            for (size_t i = k; i < utts.size(); i += nThreads) runUtterance(utts[i], accs[k]);
        } catch (const std::exception& e) {
            errors[k] = e.what();
        }
    };
    if (nThreads == 1) {
        work(0);
    } else {
        std::vector<std::thread> pool;
        for (int k = 0; k < nThreads; ++k) pool.emplace_back(work, k);
        for (std::thread& th : pool) th.join();
    }
    for (const std::string& e : errors)
        if (!e.empty()) fatalErrorF("Training thread failed: %s (line %d of %s)", e.c_str(), __LINE__, kUnit);
    for (int k = 1; k < nThreads; ++k) accs[0].add(accs[k]);
    update(accs[0]);
    return accs[0].stats;
}

void hmmTrainer::update(const accum& acc) {
    for (size_t i = 0; i < m_stateOcc.size(); ++i) m_stateOcc[i] = acc.occ[i];
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        if (m == m_sp) continue;  // tied to the middle state of sil
        hmmModel& h = m_set.model[m];
        for (int s = 0; s < h.stateNum - 2; ++s) {
            const int ps = physicalState(m, s);
            const double occ = acc.occ[ps];
            if (occ < m_cfg.minStateOcc) continue;
            for (int k = 0; k < m_set.streamNum; ++k) {
                hmmStream& str = h.state[s].stream[k];
                const int width = m_set.streamWidth[k];
                double wsum = 0.0;
                for (int j = 0; j < str.mixtureNum; ++j) {
                    hmmMixture& g = str.mixture[j];
                    const double* a = &acc.mix[mixIndex(ps, k, j) * kMixStride];
                    const double w = a[0] / occ;
                    if (a[0] >= 1.0) {
                        for (int d = 0; d < width; ++d) {
                            const double mean = a[1 + d] / a[0];
                            const double var = a[1 + kWidth + d] / a[0] - mean * mean;
                            g.mean[d] = static_cast<float>(mean);
                            g.var[d] = static_cast<float>(std::max(var, m_varFloor[k * kWidth + d]));
                        }
                    }
                    g.weight = static_cast<float>(std::max(w, kMinWeight));
                    wsum += g.weight;
                }
                for (int j = 0; j < str.mixtureNum; ++j) {
                    hmmMixture& g = str.mixture[j];
                    g.weight = str.mixtureNum == 1 ? 1.0f : static_cast<float>(g.weight / wsum);
                    g.gconst = macroClass::computeGconst(g.var, width);
                }
            }
            const double out = acc.stay[ps] + acc.leave[ps];
            if (out > 0.0) {
                const double a = std::min(0.995, std::max(0.01, acc.stay[ps] / out));
                h.transP[s + 1][s + 1] = static_cast<float>(a);
                h.transP[s + 1][s + 2] = static_cast<float>(1.0 - a);
            }
        }
    }
    syncTiedStates();
}

void hmmTrainer::syncTiedStates() {
    refreshCache();
    hmmModel& sp = m_set.model[m_sp];
    const hmmModel& sil = m_set.model[m_sil];
    sp.stateNum = 3;
    sp.state[0] = sil.state[1];
    memset(sp.transP, 0, sizeof(sp.transP));
    sp.transP[0][1] = 1.0f;
    sp.transP[1][1] = sil.transP[2][2];
    sp.transP[1][2] = 1.0f - sil.transP[2][2];
}

int hmmTrainer::splitMixtures(int target) {
    target = std::min(std::max(target, 1), MAX_MIXTURE_NUM);
    int added = 0;
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        if (m == m_sp) continue;
        hmmModel& h = m_set.model[m];
        const int want = isGarbage(m) ? std::min(MAX_MIXTURE_NUM, 4 * target) : target;
        for (int s = 0; s < h.stateNum - 2; ++s) {
            const double occ = m_stateOcc[physicalState(m, s)];
            int allowed = isGarbage(m) ? want : std::min(want, static_cast<int>(occ / m_cfg.minMixOcc));
            for (int k = 0; k < m_set.streamNum; ++k) {
                hmmStream& str = h.state[s].stream[k];
                const int width = m_set.streamWidth[k];
                while (str.mixtureNum < allowed && str.mixtureNum < MAX_MIXTURE_NUM) {
                    int heavy = 0;
                    for (int j = 1; j < str.mixtureNum; ++j)
                        if (str.mixture[j].weight > str.mixture[heavy].weight) heavy = j;
                    hmmMixture& a = str.mixture[heavy];
                    hmmMixture& b = str.mixture[str.mixtureNum];
                    b = a;
                    for (int d = 0; d < width; ++d) {
                        const float delta = 0.2f * std::sqrt(a.var[d]);
                        a.mean[d] -= delta;
                        b.mean[d] += delta;
                    }
                    a.weight *= 0.5f;
                    b.weight = a.weight;
                    str.mixtureNum++;
                    added++;
                }
            }
        }
    }
    syncTiedStates();
    return added;
}

void hmmTrainer::write(const std::string& path) {
    syncTiedStates();
    for (int32_t m = 0; m < m_set.modelNum; ++m) {
        hmmModel& h = m_set.model[m];
        for (int s = 0; s < h.stateNum - 2; ++s)
            for (int k = 0; k < m_set.streamNum; ++k) {
                hmmStream& str = h.state[s].stream[k];
                if (str.mixtureNum == 1) str.mixture[0].weight = 1.0f;
                for (int j = 0; j < str.mixtureNum; ++j)
                    str.mixture[j].gconst = macroClass::computeGconst(str.mixture[j].var, m_set.streamWidth[k]);
            }
    }
    m_set.writeMacro(path);
}

}  // namespace qv
