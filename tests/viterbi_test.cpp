#include "engine/models/viterbi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;

namespace {

const float kHalf = std::log(0.5f);

// A network under construction: nodes with sylIndex, links, and the word
// successors derived the way the network builder does (depth first through
// null nodes).
struct testNet {
    std::vector<netNode> nodes;
    int32_t add(int32_t sylIndex) {
        netNode n;
        n.sylIndex = sylIndex;
        n.word = sylIndex < 0 ? "!NULL" : "x";
        nodes.push_back(n);
        return static_cast<int32_t>(nodes.size()) - 1;
    }
    void link(int32_t s, int32_t e) { nodes[s].next.push_back(e); }
    void collect(int32_t i, std::vector<int32_t>& out) const {
        for (int32_t s : nodes[i].next) {
            if (nodes[s].sylIndex >= 0)
                out.push_back(s);
            else
                collect(s, out);
        }
    }
    std::vector<netNode>& done() {
        for (size_t i = 0; i < nodes.size(); ++i) {
            nodes[i].nextEmitting.clear();
            collect(static_cast<int32_t>(i), nodes[i].nextEmitting);
        }
        return nodes;
    }
};

pronEntry entry(const std::string& name, std::vector<int32_t> models) { return pronEntry{name, std::move(models)}; }

// Runs fn, expects a FatalError whose message contains `part`.
void expectFatal(const std::function<void()>& fn, const std::string& part) {
    try {
        fn();
        ADD_FAILURE() << "no fatal error, expected: " << part;
    } catch (const FatalError& e) {
        EXPECT_NE(e.message().find(part), std::string::npos) << e.message();
    }
}

int32_t liveCount(const viterbiClass& v, int32_t n) {
    int32_t live = 0;
    for (int32_t i = 0; i < n; ++i)
        if (v.candidate[i]->score > LOG_ZERO) ++live;
    return live;
}

}  // namespace

TEST(ViterbiFirstFrame, SyllableStartGivesOneCandidateNullStartOnePerSuccessor) {
    std::vector<pronEntry> dict = {entry("a", {0}), entry("b", {1}), entry("c", {2})};
    scoreTable tab(1, 3);
    tab.set(0, 0, 0, -1.0f);
    tab.set(0, 1, 0, -2.0f);
    tab.set(0, 2, 0, -3.0f);

    testNet syl;  // a -> b -> c
    syl.add(0), syl.add(1), syl.add(2);
    syl.link(0, 1), syl.link(1, 2);
    viterbiClass v(10, 3);
    EXPECT_EQ(v.viterbiSearch(syl.done(), dict, tab, 1, 5, 100.0f, 0), 5);
    EXPECT_EQ(liveCount(v, 5), 1);
    EXPECT_EQ(v.candidate[0]->nodeIdx, 0);
    EXPECT_FLOAT_EQ(v.candidate[0]->score, -1.0f);

    testNet nul;  // !NULL -> {b, !NULL -> c} -> !NULL
    int32_t s = nul.add(-1), e = nul.add(-1), b = nul.add(1), n = nul.add(-1), c = nul.add(2);
    nul.link(s, b), nul.link(s, n), nul.link(n, c), nul.link(b, e), nul.link(c, e);
    EXPECT_EQ(v.viterbiSearch(nul.done(), dict, tab, 1, 5, 100.0f, 0), 5);
    EXPECT_EQ(liveCount(v, 5), 2);
    EXPECT_EQ(v.candidate[0]->nodeIdx, b);
    EXPECT_FLOAT_EQ(v.candidate[0]->score, -2.0f);
    EXPECT_EQ(v.candidate[1]->nodeIdx, c);
    EXPECT_FLOAT_EQ(v.candidate[1]->score, -3.0f);
    // The closing records name the node each candidate ends in.
    ASSERT_EQ(v.candidate[1]->sylNum, 1);
    EXPECT_EQ(v.candidate[1]->sylDictIdx[0], 2);
    EXPECT_EQ(v.candidate[1]->sylEndFrame[0], 0);
}

TEST(ViterbiErrors, NetworkShapeWidthAndArena) {
    std::vector<pronEntry> dict = {entry("a", {0})};
    scoreTable tab(3, 1);
    viterbiClass v(10, 1);

    testNet twoStarts;
    twoStarts.add(0), twoStarts.add(0), twoStarts.add(-1);
    twoStarts.link(0, 2), twoStarts.link(1, 2);
    expectFatal([&] { v.viterbiSearch(twoStarts.done(), dict, tab, 3, 5, 10.0f, 0); },
                "Error: more than one starting nodes! (line ");

    testNet noEnd;  // start -> a <-> a2: every node has a successor
    noEnd.add(-1), noEnd.add(0), noEnd.add(0);
    noEnd.link(0, 1), noEnd.link(1, 2), noEnd.link(2, 1);
    expectFatal([&] { v.viterbiSearch(noEnd.done(), dict, tab, 3, 5, 10.0f, 0); },
                "Error: more than one ending nodes! (line ");

    testNet ok;  // !NULL -> a, a, a -> !NULL
    int32_t s = ok.add(-1), e = ok.add(-1);
    for (int k = 0; k < 3; ++k) {
        int32_t n = ok.add(0);
        ok.link(s, n), ok.link(n, e);
    }
    std::vector<netNode>& net = ok.done();
    expectFatal([&] { v.viterbiSearch(net, dict, tab, 3, 0, 10.0f, 0); }, "candidateNum=0");
    expectFatal([&] { v.viterbiSearch(net, dict, tab, 3, 11, 10.0f, 0); }, "Error: m_arenaLen=10, candidateNum=11");
    expectFatal([&] { v.viterbiSearch(net, dict, tab, 3, 2, 10.0f, 0); },
                "Error: nodeNumForFirstFrame=3, candidateNum=2");
    expectFatal([&] { v.viterbiSearch(net, dict, tab, 0, 5, 10.0f, 0); }, "frameNum=0");

    // References the frame loop would follow blindly are rejected up front.
    std::vector<pronEntry> badModel = {entry("a", {7})};
    expectFatal([&] { v.viterbiSearch(net, badModel, tab, 3, 5, 10.0f, 0); }, "uses model 7");
    std::vector<pronEntry> noPhones = {entry("a", {})};
    expectFatal([&] { v.viterbiSearch(net, noPhones, tab, 3, 5, 10.0f, 0); }, "has no phones");
    std::vector<netNode> badLink = net;
    badLink[2].next.push_back(99);
    expectFatal([&] { v.viterbiSearch(badLink, dict, tab, 3, 5, 10.0f, 0); }, "links to node 99");
}

// Ten one-phone nodes, all linked to each other: 30 (node, state) positions
// stay alive with a wide beam, so the candidate limit is what bounds them.
TEST(ViterbiPruning, CandidateLimitShrinksAtFixedFrames) {
    std::vector<pronEntry> dict = {entry("a", {0})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1);
    std::vector<int32_t> syl;
    for (int k = 0; k < 10; ++k) syl.push_back(tn.add(0));
    for (int32_t a : syl) {
        tn.link(s, a), tn.link(a, e);
        for (int32_t b : syl) tn.link(a, b);
    }
    std::vector<netNode>& net = tn.done();
    scoreTable tab(200, 1);
    viterbiClass v(5000, 1);

    const std::vector<std::pair<int32_t, int32_t>> expected = {
        {60, 100}, {61, 80}, {75, 80}, {76, 64}, {100, 64}, {101, 44}, {120, 44}, {121, 26}, {200, 26}};
    for (const auto& fe : expected) {
        SCOPED_TRACE(fe.first);
        EXPECT_EQ(v.viterbiSearch(net, dict, tab, fe.first, 100, 1e6f, 1), fe.second);
        EXPECT_EQ(liveCount(v, fe.second), std::min(fe.second, 30));
        EXPECT_EQ(v.viterbiSearch(net, dict, tab, fe.first, 100, 1e6f, 0), 100);
    }
    EXPECT_EQ(v.viterbiSearch(net, dict, tab, 130, 10, 1e6f, 1), 2);

    // A width that would shrink to 0 stays 1 instead of dropping every
    // hypothesis in the middle of the utterance.
    testNet single;
    int32_t s1 = single.add(-1), e1 = single.add(-1), a1 = single.add(0);
    single.link(s1, a1), single.link(a1, e1);
    EXPECT_EQ(v.viterbiSearch(single.done(), dict, tab, 130, 2, 1e6f, 1), 1);
    EXPECT_EQ(liveCount(v, 1), 1);
    EXPECT_EQ(v.candidate[0]->sylEndFrame[0], 129);
}

TEST(ViterbiPruning, BeamOfZeroKeepsOnlyTheBestScores) {
    // !NULL -> {a, b, c} -> !NULL; b and c score the same at every frame.
    std::vector<pronEntry> dict = {entry("a", {0}), entry("b", {1}), entry("c", {2})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1);
    for (int32_t d = 0; d < 3; ++d) {
        int32_t n = tn.add(d);
        tn.link(s, n), tn.link(n, e);
    }
    scoreTable tab(4, 3, -1.0f);
    for (int32_t t = 0; t < 4; ++t)
        for (int32_t st = 0; st < 3; ++st) tab.set(t, 0, st, -5.0f);
    viterbiClass v(100, 3);
    int32_t n = v.viterbiSearch(tn.done(), dict, tab, 4, 20, 0.0f, 0);
    ASSERT_EQ(n, 20);
    std::vector<int32_t> liveNodes;
    for (int32_t i = 0; i < n; ++i)
        if (v.candidate[i]->score > LOG_ZERO) liveNodes.push_back(v.candidate[i]->nodeIdx);
    ASSERT_FALSE(liveNodes.empty());
    for (int32_t i = 1; i < static_cast<int32_t>(liveNodes.size()); ++i)
        EXPECT_FLOAT_EQ(v.candidate[i]->score, v.candidate[0]->score);
    for (int32_t node : liveNodes) EXPECT_NE(node, 2);  // node of "a" never survives
}

// !NULL -> a, !NULL -> b; a -> c, b -> c; c -> !NULL, one emitting state per
// model, so both reach c's first state at frame 1.
TEST(ViterbiMerge, OneSurvivorPerPositionHigherScoreThenEarlier) {
    std::vector<pronEntry> dict = {entry("a", {0}), entry("b", {1}), entry("c", {2})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1), a = tn.add(0), b = tn.add(1), c = tn.add(2);
    tn.link(s, a), tn.link(s, b), tn.link(a, c), tn.link(b, c), tn.link(c, e);
    std::vector<netNode>& net = tn.done();

    auto survivorFrom = [&](float scoreA, float scoreB) {
        scoreTable tab(2, 3);
        for (int32_t m = 0; m < 3; ++m) tab.setModel(m, 3, kHalf, kHalf);
        tab.set(0, 0, 0, scoreA);
        tab.set(0, 1, 0, scoreB);
        viterbiClass v(20, 3);
        int32_t n = v.viterbiSearch(net, dict, tab, 2, 4, 1e6f, 0);
        int32_t inC = 0, from = -1;
        for (int32_t i = 0; i < n; ++i) {
            const candidateRecord& r = *v.candidate[i];
            if (r.nodeIdx == c && r.score > LOG_ZERO) {
                ++inC;
                from = r.sylDictIdx[0];
            }
        }
        EXPECT_EQ(inC, 1);
        return from;
    };
    EXPECT_EQ(survivorFrom(-1.0f, -2.0f), 0);
    EXPECT_EQ(survivorFrom(-2.0f, -1.0f), 1);
    EXPECT_EQ(survivorFrom(-1.0f, -1.0f), 0);  // tie: the earlier copy (from a) stays
}

// !NULL -> a (models 0, 1) -> b (model 2) -> !NULL, 5-state models; frames
// 0-5 belong to model 0, 6-11 to model 1, 12-17 to model 2, two per state.
TEST(ViterbiAlignment, SmallNetworkFollowsTheScoreTable) {
    std::vector<pronEntry> dict = {entry("a", {0, 1}), entry("b", {2})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1), a = tn.add(0), b = tn.add(1);
    tn.link(s, a), tn.link(a, b), tn.link(b, e);
    std::vector<netNode>& net = tn.done();
    net[b].penalty = -1.5f;
    net[a].pathFlag = 0;

    const int32_t frames = 18;
    scoreTable tab(frames, 3, -10.0f);
    for (int32_t t = 0; t < frames; ++t) tab.set(t, t / 6, (t % 6) / 2, 0.0f);

    viterbiClass v(500, 3);
    ConsoleCapture quiet;
    int32_t n = v.viterbiSearch(net, dict, tab, frames, 100, 1e6f, 0);
    int32_t best = viterbiClass::findBestPath(v.candidate.data(), n, net, dict);
    ASSERT_EQ(best, 0);
    const candidateRecord& r = *v.candidate[best];
    EXPECT_EQ(r.nodeIdx, b);
    EXPECT_EQ(r.stateIdx, 2);
    // 17 transitions of log 0.5 and the penalty of b; every frame scored 0.
    EXPECT_NEAR(r.score, 17 * kHalf - 1.5f, 1e-4);

    ASSERT_EQ(r.sylNum, 2);
    EXPECT_EQ(r.sylDictIdx[0], 0);
    EXPECT_EQ(r.sylDictIdx[1], 1);
    EXPECT_EQ(r.sylTag[0], 0);
    EXPECT_EQ(r.sylTag[1], 1);
    EXPECT_EQ(r.sylEndFrame[0], 11);
    EXPECT_EQ(r.sylEndFrame[1], 17);
    ASSERT_EQ(r.phoneNum, 3);
    const int32_t pos[] = {0, 1, 0}, end[] = {5, 11, 17};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(r.phonePos[k], pos[k]);
        EXPECT_EQ(r.phoneEndFrame[k], end[k]);
    }
    EXPECT_NEAR(r.sylScore[0], 12 * kHalf - 1.5f, 1e-4);  // recorded on entering b
    EXPECT_NEAR(r.phoneScore[0], 6 * kHalf, 1e-4);

    // Copying the whole record gives the same search.
    v.setWholeRecordCopy(true);
    int32_t n2 = v.viterbiSearch(net, dict, tab, frames, 100, 1e6f, 0);
    ASSERT_EQ(n2, n);
    EXPECT_EQ(v.candidate[0]->sylEndFrame[0], 11);
    EXPECT_FLOAT_EQ(v.candidate[0]->score, r.score);

    // The listing: one line per candidate until one that never left a node.
    qvtest::ScratchDir dir;
    viterbiClass::writeArenaSylPath(dir.file("arenaSylPath.txt"), v.candidate.data(), n, dict);
    std::string text = qvtest::readFile(dir.file("arenaSylPath.txt"));
    char first[64];
    snprintf(first, sizeof first, "a-b\t%7.3f\n", r.score);
    EXPECT_EQ(text.substr(0, strlen(first)), first);
    std::vector<std::string> lines;
    splitString(text, '\n', lines);
    for (const std::string& line : lines) {
        if (!line.empty()) {
            EXPECT_EQ(line.substr(0, 4), "a-b\t");
        }
    }
}

TEST(ViterbiBestPath, LastStateOfLastPhoneBeforeTheEndNodeWins) {
    // !NULL -> x -> a (two phones) -> !NULL
    std::vector<pronEntry> dict = {entry("a", {0, 1}), entry("x", {0})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1), x = tn.add(1), a = tn.add(0);
    tn.link(s, x), tn.link(x, a), tn.link(a, e);
    std::vector<netNode>& net = tn.done();

    candidateRecord recs[4] = {};
    auto set = [&](int k, int32_t node, int32_t phone, int32_t state) {
        recs[k].nodeIdx = node, recs[k].phoneIdx = phone, recs[k].stateIdx = state;
    };
    set(0, x, 0, 2);  // not before the end node
    set(1, a, 0, 2);  // inside the node
    set(2, a, 1, 1);  // last phone, not last state
    set(3, a, 1, 2);
    candidateRecord* order[4] = {&recs[0], &recs[1], &recs[2], &recs[3]};
    EXPECT_EQ(viterbiClass::findBestPath(order, 4, net, dict), 3);
    EXPECT_EQ(viterbiClass::findBestPath(order, 3, net, dict), 2);
    EXPECT_EQ(viterbiClass::findBestPath(order, 2, net, dict), 1);
    EXPECT_EQ(viterbiClass::findBestPath(order, 1, net, dict), -1);
}

TEST(ViterbiLimits, HistoryAndStateLimitsAreFatal) {
    // !NULL -> a, a -> a, a -> !NULL with one emitting state and a forward
    // transition better than the self-loop: a new node record every frame.
    testNet loop;
    int32_t s = loop.add(-1), e = loop.add(-1), a = loop.add(0);
    loop.link(s, a), loop.link(a, a), loop.link(a, e);
    std::vector<netNode>& net = loop.done();
    scoreTable tab(2100, 1);
    tab.setModel(0, 3, -2.0f, -0.1f);
    viterbiClass v(50, 1);

    std::vector<pronEntry> one = {entry("a", {0})};
    v.viterbiSearch(net, one, tab, 1000, 10, 1e6f, 0);
    EXPECT_EQ(v.candidate[0]->sylNum, MAX_SYL_NUM);  // 999 passed nodes and the closing record
    expectFatal([&] { v.viterbiSearch(net, one, tab, 1001, 10, 1e6f, 0); }, "MAX_SYL_NUM exceeded! (line ");

    std::vector<pronEntry> three = {entry("a", {0, 0, 0})};  // 3 phone records per node record
    expectFatal([&] { v.viterbiSearch(net, three, tab, 2100, 10, 1e6f, 0); }, "MAX_PHONE_NUM (2000) exceeded!");

    std::vector<pronEntry> long51 = {entry("a", std::vector<int32_t>(51, 0))};
    EXPECT_NO_THROW(v.viterbiSearch(net, long51, tab, 50, 10, 1e6f, 0));
    expectFatal([&] { v.viterbiSearch(net, long51, tab, 51, 10, 1e6f, 0); },
                "MAX_STATE_NUM_IN_SYL exceeded: index=150, MAX_STATE_NUM_IN_SYL=150");
}

TEST(ViterbiArena, FullArenaWarnsAndStopsTheFrame) {
    // !NULL -> a -> {b, c} -> !NULL; a has one emitting state, so it leaves at
    // once and needs two copies per frame.
    std::vector<pronEntry> dict = {entry("a", {0}), entry("b", {1}), entry("c", {1})};
    testNet tn;
    int32_t s = tn.add(-1), e = tn.add(-1), a = tn.add(0), b = tn.add(1), c = tn.add(2);
    tn.link(s, a), tn.link(a, b), tn.link(a, c), tn.link(b, e), tn.link(c, e);
    std::vector<netNode>& net = tn.done();
    scoreTable tab(3, 2);
    tab.setModel(0, 3, kHalf, kHalf);

    ConsoleCapture cap;
    viterbiClass v(3, 2);
    v.viterbiSearch(net, dict, tab, 2, 2, 1e6f, 0);
    EXPECT_EQ(cap.text,
              "Warning: Arena is full! frameId=1/2, candidateId=0/2, branchId=1/2, lastPos (3) > m_arenaLen-1 (2)!\n");
    // The copy to b was made and a itself still took its self-loop.
    int32_t live = liveCount(v, 2);
    EXPECT_EQ(live, 2);

    // Within a node: a 5-state model needs one copy per live candidate.
    std::vector<pronEntry> dict5 = {entry("a", {1}), entry("b", {1}), entry("c", {1})};
    cap.text.clear();
    v.viterbiSearch(net, dict5, tab, 3, 2, 1e6f, 0);
    EXPECT_EQ(cap.text, "Warning: Arena is full! frameId=2, candidateId=1, lastPos (3) > m_arenaLen-1 (2)!\n");
}

TEST(ViterbiModelProb, ShortSpansWarnAndTheTableMatchesBruteForce) {
    scoreTable tab(8, 2);
    uint32_t seed = 7;
    for (int32_t t = 0; t < 8; ++t)
        for (int32_t st = 0; st < 3; ++st) {
            seed = seed * 1103515245u + 12345u;
            tab.set(t, 1, st, -static_cast<float>((seed >> 16) % 1000) / 100.0f);
        }
    const float self[3] = {-0.2f, -0.4f, -0.6f}, fwd[3] = {-1.7f, -1.1f, -0.9f};
    for (int st = 0; st < 3; ++st) {
        tab.setTrans(1, st + 1, st + 1, self[st]);
        tab.setTrans(1, st + 1, st + 2, fwd[st]);
    }
    viterbiClass v(0, 2);
    ConsoleCapture cap;
    EXPECT_EQ(v.modelProb(tab, 2, 3, 1), LOG_ZERO);
    EXPECT_EQ(cap.text,
              "Warning in viterbiClass::modelProb: modelIdx=1, frameId1=2, frameId2=3, frameNum=2<MAX_STATE_NUM=3\n");

    auto ll = [&](int32_t t, int32_t st) { return tab.stateLogLike(t, 1, st); };
    EXPECT_NEAR(v.modelProb(tab, 2, 4, 1), ll(2, 0) + fwd[0] + ll(3, 1) + fwd[1] + ll(4, 2), 1e-4);

    // Best left-to-right path over frames 1..7 by enumerating the two state
    // change points.
    float best = LOG_ZERO;
    for (int32_t i = 2; i <= 6; ++i)      // first frame in state 1
        for (int32_t j = i + 1; j <= 7; ++j) {  // first frame in state 2
            float sc = 0.0f;
            for (int32_t t = 1; t <= 7; ++t) {
                int32_t st = t < i ? 0 : (t < j ? 1 : 2);
                sc += ll(t, st);
                if (t > 1) sc += (t == i || t == j) ? fwd[st - 1] : self[st];
            }
            best = std::max(best, sc);
        }
    EXPECT_NEAR(v.modelProb(tab, 1, 7, 1), best, 1e-3);
}

namespace {

// Two one-stream models of width 2 with distinct means; model 0 has a second
// mixture of negligible weight that must not contribute.
void buildModels(macroClass& set) {
    set.streamNum = 1;
    set.streamWidth[0] = 2;
    set.allocModels(2);
    for (int32_t m = 0; m < 2; ++m) {
        hmmModel& h = set.model[m];
        macroClass::setModelName(h, m == 0 ? "a" : "b");
        h.stateNum = 5;
        for (int32_t s = 0; s < 3; ++s) {
            hmmStream& st = h.state[s].stream[0];
            h.state[s].streamWeight[0] = 1.0f;
            st.mixtureNum = m == 0 ? 2 : 1;
            for (int32_t j = 0; j < st.mixtureNum; ++j) {
                hmmMixture& g = st.mixture[j];
                g.weight = j == 0 ? (m == 0 ? 1.0f - 1e-6f : 1.0f) : 1e-6f;
                g.mean[0] = static_cast<float>(10 * m + s) + (j == 1 ? 0.5f : 0.0f);
                g.mean[1] = -static_cast<float>(s);
                g.var[0] = 0.5f;
                g.var[1] = 2.0f;
                g.gconst = macroClass::computeGconst(g.var, 2);
            }
        }
        for (int32_t i = 1; i < 4; ++i) {
            h.transP[i][i] = 0.6f;
            h.transP[i][i + 1] = 0.4f;
        }
        h.transP[0][1] = 1.0f;
    }
    set.prepareModels();
}

double gaussLog(double x0, double x1, double m0, double m1) {
    const double d0 = x0 - m0, d1 = x1 - m1;
    return -0.5 * (2 * std::log(2 * M_PI) + std::log(0.5) + std::log(2.0) + d0 * d0 / 0.5 + d1 * d1 / 2.0);
}

}  // namespace

TEST(ViterbiModels, GaussianScoresCacheAndSearchThroughTheModelSet) {
    macroClass set;
    buildModels(set);
    viterbiClass v(300, 2);

    const float x[2] = {11.3f, -0.4f};
    EXPECT_NEAR(v.stateLogProb(x, set, 1, 1, 0), gaussLog(11.3, -0.4, 11, -1), 1e-4);
    // The negligible mixture of model 0 is skipped: only the main one counts.
    EXPECT_NEAR(v.stateLogProb(x, set, 0, 1, 0), gaussLog(11.3, -0.4, 1, -1) + std::log(1.0 - 1e-6), 1e-3);
    // Same stamp: the cached value, whatever the vector.
    const float y[2] = {0.0f, 0.0f};
    EXPECT_EQ(v.stateLogProb(y, set, 1, 1, 0), v.stateLogProb(x, set, 1, 1, 0));
    EXPECT_NE(v.stateLogProb(y, set, 1, 1, 1), v.stateLogProb(x, set, 1, 1, 0));

    // Features: model a's three states for 4 frames each, then b's.
    std::vector<float> fea;
    for (int32_t m = 0; m < 2; ++m)
        for (int32_t s = 0; s < 3; ++s)
            for (int32_t k = 0; k < 4; ++k) {
                fea.push_back(static_cast<float>(10 * m + s));
                fea.push_back(-static_cast<float>(s));
            }
    const int32_t frames = 24;
    std::vector<pronEntry> dict = {entry("a", {0}), entry("b", {1})};
    testNet tn;
    int32_t st = tn.add(-1), en = tn.add(-1), na = tn.add(0), nb = tn.add(1);
    tn.link(st, na), tn.link(na, nb), tn.link(nb, en);
    std::vector<netNode>& net = tn.done();
    int32_t n = v.viterbiSearch(net, dict, fea.data(), 2, frames, 50, set, 1e6f, 0);
    int32_t best = viterbiClass::findBestPath(v.candidate.data(), n, net, dict);
    ASSERT_GE(best, 0);
    const candidateRecord& r = *v.candidate[best];
    ASSERT_EQ(r.sylNum, 2);
    EXPECT_EQ(r.sylEndFrame[0], 11);
    EXPECT_EQ(r.sylEndFrame[1], 23);

    // modelProb over b's frames: b fits, a does not; values agree with the
    // cache whether it holds the search's frames or not.
    float own = v.modelProb(fea.data(), 2, 12, 23, set, 1, frames);
    float other = v.modelProb(fea.data(), 2, 12, 23, set, 0, frames);
    EXPECT_GT(own, other);
    std::vector<float> copy = fea;
    EXPECT_FLOAT_EQ(v.modelProb(copy.data(), 2, 12, 23, set, 1, frames), own);
    expectFatal([&] { v.modelProb(fea.data(), 2, 12, 24, set, 1, frames); }, "modelProb over frames 12..24 of 24");

    // Feature rows narrower than the streams are refused.
    expectFatal([&] { v.viterbiSearch(net, dict, fea.data(), 1, frames, 50, set, 1e6f, 0); },
                "does not fit a feature vector of 1 values");
}
