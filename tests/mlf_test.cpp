#include "engine/scoring/mlf.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "engine/models/macro.h"
#include "engine/models/viterbi.h"
#include "engine/recogTask.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::readFile;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {

mlfPhone phone(const std::string& name, int32_t start, int32_t end) {
    mlfPhone p;
    p.name = name;
    p.startFrame = start;
    p.endFrame = end;
    return p;
}

// A node spanning its phones.
mlfNode node(const std::string& name, std::vector<mlfPhone> phones) {
    mlfNode n;
    n.name = name;
    n.phoneList = std::move(phones);
    n.startFrame = n.phoneList.front().startFrame;
    n.endFrame = n.phoneList.back().endFrame;
    return n;
}

// The fatal message of f, with the console kept quiet.
std::string fatalMessage(const std::function<void()>& f) {
    ConsoleCapture quiet;
    return qvtest::fatalMessage(f, "(no error)");
}

// Log-likelihood per model name, the same for every span.
modelScorer tableScorer(const std::vector<std::string>& names, std::map<std::string, float> lp) {
    return [names, lp](int32_t, int32_t, int32_t m) {
        auto it = lp.find(names[static_cast<size_t>(m)]);
        return it == lp.end() ? -1000.0f : it->second;
    };
}

std::vector<std::string> rankedNames(const mlfPhone& p, const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (int32_t m : p.competingModel) out.push_back(names[static_cast<size_t>(m)]);
    return out;
}

}  // namespace

// ---- ranking -----------------------------------------------------------------

TEST(PhoneRanking, CompetitorsTotalsAndRatios) {
    const std::vector<std::string> names = {"a1", "b+a", "d+a", "d+i", "filler", "i3", "n+i", "sil", "sp"};
    mlfClass r;
    r.nodeList = {node("sil", {phone("sil", 0, 4)}), node("ni3", {phone("n+i", 5, 12), phone("i3", 13, 24)}),
                  node("sp", {phone("sp", 25, 26)}), node("da", {phone("d+a", 27, 31), phone("sil+x", 32, 36)})};
    recogParam prm;
    ConsoleCapture cap;
    r.findPhoneRanking(names, tableScorer(names, {{"n+i", 5}, {"d+i", 9}, {"i3", 8}, {"a1", 1}, {"d+a", 2}}), 40,
                       prm);
    EXPECT_EQ(r.actualSylNum, 2);
    EXPECT_EQ(r.totalPhoneNum, 4);   // sil+ phones count here ...
    EXPECT_EQ(r.totalFrameNum, 25);  // ... but not here
    const mlfPhone& n = r.nodeList[1].phoneList[0];
    EXPECT_EQ(rankedNames(n, names), (std::vector<std::string>{"d+i", "n+i"}));  // models ending in +i
    EXPECT_EQ(n.rank, 1);
    EXPECT_FLOAT_EQ(n.rankRatio, 0.5f);
    EXPECT_FLOAT_EQ(n.timeRatio, 8.0f / 25);
    // Without "+": the other models without "+", silences and fillers excluded.
    const mlfPhone& i3 = r.nodeList[1].phoneList[1];
    EXPECT_EQ(rankedNames(i3, names), (std::vector<std::string>{"i3", "a1"}));
    EXPECT_EQ(i3.modelIndex, 5);
    EXPECT_EQ(i3.rank, 0);
    EXPECT_FLOAT_EQ(r.weightedRank, 8.0f / 25 * 0.5f);
    EXPECT_FLOAT_EQ(r.avgLogProb, (5.0f + 8.0f + 2.0f) / 25);
    EXPECT_TRUE(r.nodeList[3].phoneList[1].competingModel.empty());

    prm.useAllModelAsCompetingModel = 1;
    r.findPhoneRanking(names, tableScorer(names, {}), 40, prm);
    EXPECT_EQ(rankedNames(r.nodeList[1].phoneList[0], names),
              (std::vector<std::string>{"a1", "b+a", "d+a", "d+i", "i3", "n+i"}));
}

TEST(PhoneRanking, FiftyCompetitorsTenBetterGivesScoreTwenty) {
    std::vector<std::string> names;
    std::map<std::string, float> lp;
    for (int i = 0; i < 50; ++i) {
        names.push_back(strFormat("m%02d+z", i));
        lp[names.back()] = static_cast<float>(-i);
    }
    mlfClass r;
    r.nodeList = {node("x", {phone("m10+z", 0, 9)})};
    recogParam prm;
    r.findPhoneRanking(names, tableScorer(names, lp), 10, prm);
    EXPECT_EQ(r.nodeList[0].phoneList[0].rank, 10);
    EXPECT_FLOAT_EQ(r.nodeList[0].phoneList[0].rankRatio, 0.2f);
    EXPECT_NEAR(mlfClass::bellScore(0.2f, {0.05f, 0.5f, 0}), 20.0f, 1e-4);
}

TEST(PhoneRanking, AlternativesDirectlyAboveDoNotCount) {
    ScratchDir dir;
    writeFile(dir.file("eps.txt"), "% alternatives\nown+a\talt1+a\talt2+a\n");
    const std::vector<std::string> names = {"alt1+a", "alt2+a", "other+a", "own+a"};
    recogParam prm;
    setParamText(prm.epsFile, dir.file("eps.txt"));
    mlfClass r;
    r.nodeList = {node("x", {phone("own+a", 0, 9)})};
    r.findPhoneRanking(names, tableScorer(names, {{"other+a", 10}, {"alt1+a", 9}, {"alt2+a", 8}, {"own+a", 7}}),
                       10, prm);
    EXPECT_EQ(r.nodeList[0].phoneList[0].rank, 1);
    EXPECT_EQ(r.nodeList[0].phoneList[0].altModel, (std::vector<std::string>{"alt1+a", "alt2+a"}));
    // "other" between the alternatives stops the walk.
    r.findPhoneRanking(names, tableScorer(names, {{"alt1+a", 10}, {"other+a", 9}, {"alt2+a", 8}, {"own+a", 7}}),
                       10, prm);
    EXPECT_EQ(r.nodeList[0].phoneList[0].rank, 2);

    setParamText(prm.epsFile, dir.file("missing.txt"));
    EXPECT_NE(fatalMessage([&] { r.findPhoneRanking(names, tableScorer(names, {}), 10, prm); })
                  .find("Cannot open file"),
              std::string::npos);
}

TEST(PhoneRanking, FaultsAndModelList) {
    const std::vector<std::string> names = {"a+b", "c+b"};
    ScratchDir dir;
    recogParam prm;
    setParamText(prm.outputDir, dir.path());
    mlfClass r;
    r.nodeList = {node("x", {phone("q+b", 0, 9)})};
    std::string msg = fatalMessage([&] { r.findPhoneRanking(names, tableScorer(names, {}), 10, prm); });
    EXPECT_NE(msg.find("\"q+b\""), std::string::npos) << msg;
    EXPECT_EQ(readFile(dir.file("modelStrVec.txt")), "a+b\nc+b\n");
    // A span beyond the features is refused rather than read.
    r.nodeList = {node("x", {phone("a+b", 5, 12)})};
    msg = fatalMessage([&] { r.findPhoneRanking(names, tableScorer(names, {}), 10, prm); });
    EXPECT_NE(msg.find("outside the 10 feature frames"), std::string::npos) << msg;
}

// Through a real model set and the search's modelProb: one-dimensional
// single-Gaussian models; the features sit on the mean of "c+b".
TEST(PhoneRanking, WithModelSetAndSearch) {
    macroClass set;
    set.streamNum = 1;
    set.streamWidth[0] = 1;
    const char* names[] = {"sil", "c+b", "a+b"};
    set.allocModels(3);
    for (int32_t m = 0; m < 3; ++m) {
        hmmModel& h = set.model[static_cast<size_t>(m)];
        macroClass::setModelName(h, names[m]);
        h.stateNum = 5;
        for (int32_t s = 0; s < 3; ++s) {
            h.state[s].streamWeight[0] = 1.0f;
            hmmStream& st = h.state[s].stream[0];
            st.mixtureNum = 1;
            st.mixture[0].weight = 1.0f;
            st.mixture[0].mean[0] = static_cast<float>(m);
            st.mixture[0].var[0] = 1.0f;
            st.mixture[0].gconst = macroClass::computeGconst(st.mixture[0].var, 1);
        }
        for (int32_t i = 1; i < 4; ++i) h.transP[i][i] = h.transP[i][i + 1] = 0.5f;
    }
    set.sortModels();
    set.prepareModels();
    const std::vector<float> fea(12, 1.0f);
    viterbiClass vit(10, set.modelNum);
    // The alignment comes from a search candidate record as in a run.
    auto best = std::make_unique<candidateRecord>();
    best->sylNum = 1;
    best->sylDictIdx[0] = 0;
    best->sylEndFrame[0] = 7;
    best->phoneNum = 2;
    best->phonePos[0] = 0;
    best->phonePos[1] = 1;
    best->phoneEndFrame[0] = 5;
    best->phoneEndFrame[1] = 7;
    mlfClass r;
    r.fromSearchPath(*best, std::vector<pronEntry>{{"ca", {0, 1}}}, set);
    ASSERT_EQ(r.nodeList.size(), 1u);
    EXPECT_EQ(r.nodeList[0].phoneList[1].name, "c+b");
    recogParam prm;
    ConsoleCapture cap;  // the 2-frame phone draws a warning
    r.findPhoneRanking(fea.data(), 1, 12, set, vit, prm);
    const mlfPhone& a = r.nodeList[0].phoneList[0];
    EXPECT_EQ(a.modelIndex, 0);  // sorted: a+b, c+b, sil
    EXPECT_EQ(a.competingModel, (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(a.rank, 1);
    EXPECT_FLOAT_EQ(a.ownLogProb, vit.modelProb(fea.data(), 1, 0, 5, set, 0));
    EXPECT_FLOAT_EQ(r.nodeList[0].phoneList[1].ownLogProb, -1e10f);
    EXPECT_EQ(r.nodeList[0].phoneList[1].rank, 1);  // all equal: last place
}

// ---- scores ------------------------------------------------------------------

TEST(BellScore, Shape) {
    EXPECT_FLOAT_EQ(mlfClass::bellScore(0, {0.05f, 0.5f, 0}), 100);
    EXPECT_FLOAT_EQ(mlfClass::bellScore(0.1f, {0.1f, 1, 0}), 50);
    EXPECT_NEAR(mlfClass::bellScore(0.3f, {0.1f, 1, 0.2f}), 50, 1e-3);
    EXPECT_FLOAT_EQ(mlfClass::bellScore(0.5f, {0, 1, 0.5f}), 100);  // no 0/0 at the centre
    EXPECT_NE(fatalMessage([] { mlfClass::bellScore(0, {1, 1}); }).find("3 parameters"), std::string::npos);
}

struct ScoreFiles : ::testing::Test {
    ScratchDir dir;
    recogParam prm;
    void SetUp() override {
        writeFile(dir.file("rank.txt"), "0.05 0.5 0\n");
        writeFile(dir.file("discount.txt"), "0.5 0.9 0.9 0.9 0.95 0.9 0.8\n");
        setParamText(prm.phoneRank2scoreParamFile, dir.file("rank.txt"));
        setParamText(prm.scoreDiscountParamFile, dir.file("discount.txt"));
    }
};

TEST_F(ScoreFiles, NodeScoreIsTimeWeightedMean) {
    mlfClass r;
    r.nodeList = {node("sil", {phone("sil", 0, 4)}), node("ni3", {phone("n+i", 5, 12), phone("i3", 13, 24)}),
                  node("x", {phone("sil+x", 25, 29)})};
    mlfPhone& n = r.nodeList[1].phoneList[0];
    mlfPhone& i = r.nodeList[1].phoneList[1];
    n.rankRatio = 0.05f;  // default mapping: 50
    i.rankRatio = 0;      // 100
    n.timeRatio = 0.4f;
    i.timeRatio = 0.6f;
    n.ownLogProb = -5;
    n.competingModelLogProb = {0, -5, -10};
    i.competingModelLogProb = {-3, -3};
    r.computeScores(0, 2, prm);
    EXPECT_FLOAT_EQ(n.scores[1], 50);
    EXPECT_FLOAT_EQ(r.nodeList[1].scores[1], 80);
    EXPECT_FLOAT_EQ(r.nodeList[1].score, 80);
    EXPECT_FLOAT_EQ(n.scores[2], 50);
    EXPECT_FLOAT_EQ(i.scores[2], 0);  // all competitors equal
    EXPECT_FLOAT_EQ(r.nodeList[0].scores[1], -1);
    EXPECT_FLOAT_EQ(r.nodeList[2].scores[0], 0);  // only a silence phone
    // Durations 20 and 5: (80 * 20 + 0 * 5) / 25.
    EXPECT_FLOAT_EQ(r.origScore, 64);
}

TEST_F(ScoreFiles, CmParamFileSelectsBellPerModel) {
    writeFile(dir.file("cm.txt"), "% header\nm0\t1\t2\t3\t4\t[0.1 1 0]\nm1\tbad\n");
    setParamText(prm.cmParamFile, dir.file("cm.txt"));
    mlfClass r;
    r.nodeList = {node("x", {phone("a", 0, 9)})};
    mlfPhone& p = r.nodeList[0].phoneList[0];
    p.rankRatio = 0.1f;
    p.timeRatio = 1;
    p.modelIndex = 0;
    r.computeScores(0, 0, prm);
    EXPECT_FLOAT_EQ(p.scores[1], 50);
    EXPECT_EQ(p.bellParam, (std::vector<float>{0.1f, 1, 0}));

    p.modelIndex = 1;
    ConsoleCapture cap;
    std::string msg;
    try {
        r.computeScores(0, 0, prm);
    } catch (const FatalError& e) {
        msg = e.what();
    }
    EXPECT_NE(msg.find("Error: Cannot parse"), std::string::npos) << msg;
    EXPECT_NE(cap.text.find("contents[1]=m1\tbad\n"), std::string::npos);
    p.modelIndex = 2;
    EXPECT_NE(fatalMessage([&] { r.computeScores(0, 0, prm); }).find("no line for model 2"), std::string::npos);
}

TEST_F(ScoreFiles, WorkedDiscountExampleAndEmptyRange) {
    mlfClass r;
    r.nodeList = {node("x", {phone("a", 0, 9)})};
    for (int k = 0; k < 3; ++k) r.nodeList[0].scores[k] = 80.0f - 10 * k;
    r.m_discountFactor = {0, 1, 0, 0, 2, 0, 0};
    r.computeUtteranceScores(0, 0, prm);
    EXPECT_NEAR(r.finalScores[0], 64.98, 1e-3);
    EXPECT_NEAR(r.finalScores[1], 56.8575, 1e-3);
    EXPECT_NEAR(r.finalScores[2], 48.735, 1e-3);
    EXPECT_FLOAT_EQ(r.finalScore, r.finalScores[1]);
    EXPECT_FLOAT_EQ(r.origScore, 70);

    r.nodeList[0].name = "sil";
    r.computeUtteranceScores(0, 0, prm);
    EXPECT_EQ(r.origScores[0] + r.origScores[1] + r.origScores[2], 0);

    writeFile(dir.file("discount.txt"), "0.5 0.9\n");
    EXPECT_NE(fatalMessage([&] { r.computeUtteranceScores(0, 0, prm); }).find("7 are needed"), std::string::npos);
    writeFile(dir.file("rank.txt"), "0.05 x\n");
    EXPECT_NE(fatalMessage([&] { r.computeScores(0, 0, prm); }).find("3 are needed"), std::string::npos);
}

// ---- discount factors --------------------------------------------------------

TEST(DiscountFactors, ShortLongAndPauseCounts) {
    mlfClass r;
    r.nodeList = {
        node("sp", {phone("sp", 0, 59)}),                                                  // edge: not counted
        node("s1", {phone("x+a", 60, 62), phone("a", 63, 65), phone("y", 66, 75)}),        // 2 of 3 short
        node("s2", {phone("x+b", 76, 77), phone("b", 78, 87)}),                            // 1 of 2: no
        node("s3", {phone("x+c", 88, 89), phone("c", 90, 92)}),                            // all short
        node("sp", {phone("sp", 93, 143)}),                                                // 51 frames
        node("s4", {phone("b+a", 144, 145), phone("a", 146, 148)}),                        // b+ exempt
        node("s5", {phone("x+d", 149, 217)}),                                              // 69: not long
        node("s6", {phone("x+e", 218, 287)}),                                              // 70: long
        node("sil", {phone("sil", 288, 400)})};
    r.actualSylNum = 6;
    r.computeDiscountFactors(0, 8, false, 9);
    EXPECT_EQ(r.m_discountFactor, (std::vector<int32_t>{1, 2, 1, 1, 3, 1, 0}));
    r.computeDiscountFactors(4, 4, true, -1);  // the sp alone is its range's edge
    EXPECT_EQ(r.m_discountFactor, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_NE(fatalMessage([&] { r.computeDiscountFactors(0, 9, true, -1); }).find("outside the 9 nodes"),
              std::string::npos);
}

TEST(DiscountFactors, DurationRatioAndSilenceVolume) {
    mlfClass r;
    r.nodeList = {node("a", {phone("a", 0, 9)}), node("b", {phone("b", 10, 50)}), node("sil", {phone("sil", 51, 60)})};
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[5], 1);  // 41 / 10
    r.nodeList[1].endFrame = 49;
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[5], 0);  // 40 / 10

    r.nodeList[2].volume = {10, 20, 30, 40};  // ref 25
    r.nodeList[2].volume.push_back(1500025);  // five values: ref (20+30+40+1500025)/5
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[6], 0);
    r.nodeList[2].volume = {10, 20, 30, 40};
    r.nodeList[0].name = "sp";
    r.nodeList[0].volume = {1500025};
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[6], 0);  // 1500025 - 25 is not above the limit
    r.nodeList[0].volume = {1500026};
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[6], 1);
    r.nodeList[2].volume = {10, 20, 30, 40, 50};  // ref 28
    r.nodeList[0].volume = {1500029};
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[6], 1);
    r.nodeList[2].volume.clear();  // no reference volumes: ref 0, no division
    r.computeDiscountFactors(0, 2, true, -1);
    EXPECT_EQ(r.m_discountFactor[6], 1);
}

// ---- alignment in and label files --------------------------------------------

struct tinyCandidate {
    int32_t sylNum;
    int32_t sylDictIdx[3], sylEndFrame[3];
    float sylScore[3];
    int32_t phoneNum;
    int32_t phonePos[4], phoneEndFrame[4];
    float phoneScore[4];
};

TEST(SearchPath, NodesAndPhonesFromCandidate) {
    const std::vector<std::string> names = {"a", "n+i", "i3", "sil"};
    const std::vector<pronEntry> dict = {{"ni3", {1, 2}}, {"sil", {3}}};
    tinyCandidate c{2, {1, 0, 0}, {4, 20, 0}, {-5, -50, 0}, 3, {0, 0, 1, 0}, {4, 12, 20, 0}, {-5, -30, -50, 0}};
    mlfClass r;
    r.fromSearchPath(c, dict, names);
    ASSERT_EQ(r.nodeList.size(), 2u);
    EXPECT_EQ(r.nodeList[1].name, "ni3");
    EXPECT_EQ(r.nodeList[1].startFrame, 5);
    EXPECT_EQ(r.nodeList[1].phoneList[1].name, "i3");
    EXPECT_EQ(r.nodeList[1].phoneList[1].startFrame, 13);
    EXPECT_FLOAT_EQ(r.nodeList[1].phoneList[0].cumLogProb, -30);
    EXPECT_FLOAT_EQ(r.nodeList[1].score, -1);

    c.phonePos[2] = 2;  // beyond the pronunciation of ni3
    EXPECT_NE(fatalMessage([&] { r.fromSearchPath(c, dict, names); }).find("phone position 2"), std::string::npos);
    c.sylNum = 4;  // beyond the history arrays
    EXPECT_NE(fatalMessage([&] { r.fromSearchPath(c, dict, names); }).find("sylNum=4"), std::string::npos);
}

TEST(LabelFile, RoundTripAndFaults) {
    ScratchDir dir;
    mlfClass r;
    r.nodeList = {node("sil", {phone("sil", 0, 11)}), node("ni3", {phone("n+i", 12, 20), phone("i3", 21, 30)})};
    r.nodeList[1].phoneList[0].cumLogProb = -12.5f;
    r.nodeList[1].phoneList[1].cumLogProb = -40.25f;
    r.writePhoneLevel(dir.file("phone.lab"), false, false);
    EXPECT_EQ(readFile(dir.file("phone.lab")),
              "000000 1200000 sil 0 sil\n1200000 2100000 n+i -12.5 ni3\n2100000 3100000 i3 -40.25\n");
    mlfClass back;
    back.readPhoneLevel(dir.file("phone.lab"));
    ASSERT_EQ(back.nodeList.size(), 2u);
    const mlfNode& n = back.nodeList[1];
    EXPECT_EQ(n.name, "ni3");
    EXPECT_EQ(n.startFrame, 12);
    EXPECT_EQ(n.endFrame, 30);
    EXPECT_FLOAT_EQ(n.cumLogProb, -40.25f);
    ASSERT_EQ(n.phoneList.size(), 2u);
    EXPECT_EQ(n.phoneList[1].name, "i3");
    EXPECT_EQ(n.phoneList[1].startFrame, 21);
    EXPECT_FLOAT_EQ(n.phoneList[0].score, -1);

    for (const char* bad : {"0 100000 a -1\n", "0 100000 a -1 x\n0 100000 b\n", "0 1e5 a -1 x\n"}) {
        writeFile(dir.file("bad.lab"), std::string("% comment\n") + bad);
        std::string msg = fatalMessage([&] { back.readPhoneLevel(dir.file("bad.lab")); });
        EXPECT_NE(msg.find("Wrong label line"), std::string::npos) << bad << msg;
    }
}

// ---- result files ------------------------------------------------------------

TEST(ResultFiles, CmXmlCommentsAndPhoneCmFields) {
    ScratchDir dir;
    mlfClass r;
    r.nodeList = {node("sil", {phone("sil", 0, 11)}), node("ni3", {phone("n+i", 12, 20), phone("i3", 21, 30)})};
    r.nodeList[1].volume = {7, 8};
    r.nodeList[1].text = "T";
    r.nodeList[1].phoneList[0].competingModel = {1, 0};
    r.m_discountFactor = {0, 1, 0, 0, 0, 0, 0};
    const std::vector<std::string> names = {"d+i", "n+i", "i3"};
    r.writeCmXml(dir.file("cm.xml"), names);
    const std::string xml = readFile(dir.file("cm.xml"));
    auto count = [&](const std::string& s) {
        size_t n = 0;
        for (size_t p = xml.find(s); p != std::string::npos; p = xml.find(s, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<!--A node is a word"), 1u);
    EXPECT_EQ(count("<!--Phonetic alphabets for the node-->"), 1u);
    EXPECT_EQ(count("<!--Cumulated log probability of the phone-->"), 1u);
    EXPECT_NE(xml.find("\t\t\t<volume></volume><!--Volume"), std::string::npos);
    EXPECT_NE(xml.find("\t\t\t<volume>7 8</volume>\n"), std::string::npos);
    EXPECT_NE(xml.find("<interval>1200000 2100000</interval>\n"), std::string::npos);
    EXPECT_NE(xml.find("<competingModel>n+i d+i</competingModel>\n"), std::string::npos);
    EXPECT_NE(xml.find("<discountFactor>0 1 0 0 0 0 0 </discountFactor>"), std::string::npos);

    r.writePhoneLevel(dir.file("phone.cm"), true, true);
    const std::string cm = readFile(dir.file("phone.cm"));
    EXPECT_EQ(cm.rfind("% finalScore=0\n% origScores=[0, 0, 0]\n", 0), 0u);
    EXPECT_NE(cm.find("\n000000\t1200000\tsil#-1\t0\tsil##-1\n"), std::string::npos);
    EXPECT_NE(cm.find("\n1200000\t2100000\tn+i#-1\t0\tni3#T#-1#7_8\n2100000\t3100000\ti3#-1\t0\n"),
              std::string::npos);
}

TEST(ResultFiles, OutputFolderDecidesWhatIsWritten) {
    ScratchDir dir;
    mlfClass r;
    r.nodeList = {node("a", {phone("a", 0, 9)})};
    r.nodeList[0].phoneList[0].competingModel = {0};
    r.nodeList[0].phoneList[0].competingModelLogProb = {-1.5f};
    r.m_discountFactor = {0, 0, 0, 0, 0, 0, 1};
    r.finalScore = 56.5f;
    ConsoleCapture cap;
    r.writeResultFiles("", {"a"});
    r.writeScoreFiles("");
    EXPECT_EQ(cap.text, "");
    r.writeResultFiles(dir.path(), {"a"});
    r.writeScoreFiles(dir.path());
    for (const char* f : {"phone.lab", "phone.cm", "cm.xml", "phone.plp", "phone.cmd", "discountFactor.txt",
                          "weightedRank.txt", "origScore.txt", "finalScore.txt"})
        EXPECT_NE(cap.text.find(strFormat("\t===> Saved %s/%s\n", dir.path().c_str(), f)), std::string::npos) << f;
    EXPECT_EQ(readFile(dir.file("finalScore.txt")), "56.5\n");
    EXPECT_EQ(readFile(dir.file("discountFactor.txt")), "0\n0\n0\n0\n0\n0\n1\n");
    const std::string plp = readFile(dir.file("phone.plp"));
    EXPECT_NE(plp.find("\na -1 10\n0\n-1.5\n"), std::string::npos);
    const std::string cmd = readFile(dir.file("phone.cmd"));
    EXPECT_NE(cmd.find("\t\t0: a(-1.5) \n\t\tRank ratio: 0/1=0\n\t\tTime weight: 10/0=0%\n"), std::string::npos);
    EXPECT_NE(cmd.find("m_discountFactor[6] = 1"), std::string::npos);
}

// ---- node texts, volumes, time shift -----------------------------------------

TEST(NodeFill, TextVolumeAndShift) {
    mlfClass r;
    r.nodeList = {node("sil", {phone("sil", 0, 1)}), node("ni3", {phone("n+i", 2, 3)}), node("sp", {phone("sp", 4, 4)}),
                  node("hao3", {phone("h+ao", 5, 7)}), node("ma", {phone("a", 8, 9)})};
    r.fillNodeText("\xA7\x41\xA6\x6E", "chinese");  // two characters for three syllables
    EXPECT_EQ(r.nodeList[1].text, "\xA7\x41");
    EXPECT_EQ(r.nodeList[3].text, "\xA6\x6E");
    EXPECT_EQ(r.nodeList[2].text + r.nodeList[4].text, "");
    const int32_t vol[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    r.fillNodeVolume(vol, 9);
    EXPECT_EQ(r.nodeList[3].volume, (std::vector<int32_t>{6, 7, 8}));
    EXPECT_EQ(r.nodeList[4].volume, (std::vector<int32_t>{9}));  // frame 9 is beyond the array
    r.fillNodeVolume(vol, 9, 3);  // node frames counted from frame 3 of the array
    EXPECT_EQ(r.nodeList[0].volume, (std::vector<int32_t>{4, 5}));
    EXPECT_EQ(r.nodeList[3].volume, (std::vector<int32_t>{9}));
    EXPECT_TRUE(r.nodeList[4].volume.empty());
    r.shiftTime(100);
    EXPECT_EQ(r.nodeList[3].startFrame, 105);
    EXPECT_EQ(r.nodeList[3].phoneList[0].endFrame, 107);
}
