// Tree and sausage networks generated from the expected text, compared line
// by line with hand-built networks.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/lexicon/dict.h"
#include "engine/lexicon/net.h"
#include "engine/lexicon/text.h"
#include "engine/recogTask.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::fatalMessage;

namespace {

using Links = std::vector<std::pair<int, int>>;

std::vector<std::string> netLines(const std::vector<std::string>& words, const Links& links) {
    std::vector<std::string> v = {"VERSION=1.0", "N=" + std::to_string(words.size()) + "\tL=" + std::to_string(links.size())};
    for (size_t i = 0; i < words.size(); ++i) v.push_back("I=" + std::to_string(i) + "\tW=" + words[i]);
    for (size_t j = 0; j < links.size(); ++j)
        v.push_back("J=" + std::to_string(j) + "\tS=" + std::to_string(links[j].first) +
                    "\tE=" + std::to_string(links[j].second));
    return v;
}

class NetGenTest : public ::testing::Test {
protected:
    qvtest::ScratchDir dir;
    qvtest::TempDirEnv temp{dir.path()};
    qvtest::ConsoleCapture capture;
    std::string& console = capture.text;

    std::vector<std::string> tree(std::vector<std::string> syl, int fillerLoop = 0, int softSil = 0,
                                  int silNodes = 0) {
        textClass t;
        t.m_sylVs = std::move(syl);
        t.netVs = {"stale line"};
        t.genTreeNet(fillerLoop, softSil, silNodes);
        return t.netVs;
    }
};

}  // namespace

// ---- tree network ------------------------------------------------------------

TEST_F(NetGenTest, TreeFollowsSortedOrder) {
    EXPECT_EQ(tree({"b-c\t1", "a-b\t0"}),
              netLines({"!NULL", "!NULL", "a", "b", "b", "c"}, {{0, 2}, {2, 3}, {3, 1}, {0, 4}, {4, 5}, {5, 1}}));
}

TEST_F(NetGenTest, TreeSharesCommonBeginnings) {
    // b ends one path and continues another.
    EXPECT_EQ(tree({"a-b-c\t1", "a-b\t0"}),
              netLines({"!NULL", "!NULL", "a", "b", "c"}, {{0, 2}, {2, 3}, {3, 1}, {3, 4}, {4, 1}}));

    // Only the beginning is shared: the x after c is its own node.
    EXPECT_EQ(tree({"a-b-x\t0", "a-c\t1", "a-c-x\t2"}),
              netLines({"!NULL", "!NULL", "a", "b", "x", "c", "x"},
                       {{0, 2}, {2, 3}, {3, 4}, {4, 1}, {2, 5}, {5, 1}, {5, 6}, {6, 1}}));

    // A repeated reading adds nothing.
    EXPECT_EQ(tree({"a-b\t0", "a-b\t1"}), tree({"a-b\t0"}));
}

TEST_F(NetGenTest, TreeWithSilenceNodesAndSoftSilences) {
    EXPECT_EQ(tree({"a\t0"}, 0, 0, 1),
              netLines({"!NULL", "!NULL", "sil", "sil", "a"}, {{0, 2}, {3, 1}, {2, 4}, {4, 3}}));

    EXPECT_EQ(tree({"a-b-c\t0"}, 0, 1, 1),
              netLines({"!NULL", "!NULL", "sil", "sil", "a", "b", "c", "sil", "sil"},
                       {{0, 2}, {3, 1}, {2, 4}, {4, 5}, {5, 6}, {6, 3}, {4, 7}, {7, 5}, {5, 8}, {8, 6}}));

    // Soft silences only for a single reading, and none without gaps.
    EXPECT_EQ(tree({"a-b\t0", "c\t1"}, 0, 1, 0), tree({"a-b\t0", "c\t1"}));
    EXPECT_EQ(tree({"a\t0"}, 0, 1, 0), tree({"a\t0"}));
    EXPECT_EQ(tree({"a-b\t0"}, 0, 1, 0),
              netLines({"!NULL", "!NULL", "a", "b", "sil"}, {{0, 2}, {2, 3}, {3, 1}, {2, 4}, {4, 3}}));
}

TEST_F(NetGenTest, TreeWithFillerLoops) {
    EXPECT_EQ(tree({"a\t0"}, 1, 0, 1),
              netLines({"!NULL", "!NULL", "!NULL", "!NULL", "a", "fillerC", "fillerC", "fillerV", "fillerV", "sil", "sil"},
                       {{0, 2}, {3, 1}, {2, 4}, {4, 3}, {2, 5}, {5, 2}, {3, 6}, {6, 3}, {2, 7}, {7, 2}, {3, 8}, {8, 3},
                        {2, 9}, {9, 2}, {3, 10}, {10, 3}}));
}

TEST_F(NetGenTest, TreeRejectsInputsThatWouldBreakTheNetwork) {
    EXPECT_TRUE(fatalMessage([&] { tree({}); }).find("Error: m_sylVs.size()=0 at line") == 0);
    // The hubs of the filler loop are the silence nodes.
    EXPECT_NE(fatalMessage([&] { tree({"a-b\t0"}, 1, 0, 0); }).find("filler loop needs the silence nodes"),
              std::string::npos);
    for (const char* bad : {"a--b\t0", "-a\t0", "a-\t0", "\t0"})
        EXPECT_NE(fatalMessage([&] { tree({"c\t1", bad}); }).find("Empty syllable"), std::string::npos) << bad;
}

// ---- sausage network ----------------------------------------------------------

namespace {

const std::string kTwo = "\xa4\x57";  // two readings
const std::string kOne = "\xb6\xdc";  // one reading
const std::string kNone = "\xc0\x40";

std::vector<wpaEntry> sausageWpa() {
    return {{kTwo, {"shang", "sang"}, {"4", "3"}}, {kOne, {"ma"}, {"5"}}};
}

recogParam withLanguage(const char* language) {
    recogParam p;
    setParamText(p.language, language);
    return p;
}

}  // namespace

TEST_F(NetGenTest, SausageColumnsWithOptionalSilences) {
    textClass t;
    t.m_txtVs = {"raw"};
    t.m_txtVsNormalized = {kTwo + kOne};
    t.genSausageNet(sausageWpa(), withLanguage("chinese"));
    EXPECT_EQ(t.netVs, netLines({"!NULL", "!NULL", "sil", "sil", "shang", "sang", "sil", "ma"},
                                {{0, 2}, {3, 1}, {2, 4}, {2, 5}, {0, 4}, {0, 5}, {4, 6}, {5, 6}, {6, 7}, {4, 7}, {5, 7},
                                 {7, 3}}));
    // The sentence is listed once more for the second "output.nt".
    EXPECT_EQ(t.m_txtVsNormalized, (std::vector<std::string>{kTwo + kOne, kTwo + kOne}));
}

TEST_F(NetGenTest, SausageSingleUnitAndMissingEntries) {
    textClass t;
    t.m_txtVs = {"raw"};
    t.m_txtVsNormalized = {kNone};
    t.genSausageNet(sausageWpa(), withLanguage("chinese"));
    EXPECT_EQ(t.netVs, netLines({"!NULL", "!NULL", "sil", "sil", "a"}, {{0, 2}, {3, 1}, {2, 4}, {0, 4}, {4, 3}}));
    EXPECT_EQ(console, "Warning: Found no pinyin for \"" + kNone + "\" in \"" + kNone + "\". Use \"a\" instead.\n");

    textClass e;
    e.m_txtVs = {"raw"};
    e.m_txtVsNormalized = {"hello there"};
    const std::vector<wpaEntry> wpa = {{"hello", {"h_ah_l_ow"}, {}}};
    const std::string msg = fatalMessage([&] { e.genSausageNet(wpa, withLanguage("english")); });
    EXPECT_EQ(msg.find("Error: Found no pronunciation entry for there. Please add the pronunciation to wpaAddendaFile."),
              0u)
        << msg;
}

TEST_F(NetGenTest, SausageNeedsOneSentenceWithUnits) {
    textClass t;
    t.m_txtVs = {"one", "two"};
    t.m_txtVsNormalized = {kOne, kOne};
    EXPECT_EQ(fatalMessage([&] { t.genSausageNet(sausageWpa(), withLanguage("chinese")); })
                  .find("Error: m_txtVs.size()=!1, which cannot be transformed into sausage net"),
              0u);

    // Without a unit the end node would have no predecessor.
    t.m_txtVs = {"z"};
    t.m_txtVsNormalized = {"z"};
    EXPECT_NE(fatalMessage([&] { t.genSausageNet(sausageWpa(), withLanguage("chinese")); }).find("has no unit"),
              std::string::npos);
}

// The generated lines are read by the same parser as network files.
TEST_F(NetGenTest, GeneratedTreeBuildsIntoASearchableNetwork) {
    dictClass d;
    for (const char* n : {"a", "b", "c", "sil"}) d.m_pronDict.push_back({n, {0}});
    textClass t;
    t.m_sylVs = {"a-b\t0", "a-c\t1"};
    t.genTreeNet(0, 0, 1);
    netClass net;
    net.buildFromTxt(t.netVs, d);
    ASSERT_EQ(net.nodeNum, 7);
    EXPECT_EQ(net.node[4].sylIndex, 0);  // a
    EXPECT_EQ(net.node[4].nextEmitting, (std::vector<int32_t>{5, 6}));
    EXPECT_EQ(net.node[0].nextEmitting, (std::vector<int32_t>{2}));
    EXPECT_TRUE(net.node[1].next.empty());
}
