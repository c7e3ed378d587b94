#include "engine/lexicon/net.h"

#include <gtest/gtest.h>

#include "engine/lexicon/dict.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::fatalMessage;
using qvtest::readFile;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {

// Every test gets its own temporary directory, so missingModelUsed.txt and
// error logs stay apart.
class NetTest : public ::testing::Test {
protected:
    ScratchDir dir;
    qvtest::TempDirEnv temp{dir.path()};
    dictClass dict;

    void SetUp() override {
        // Sorted by name; "b" lacks its second model.
        dict.m_pronDict = {{"a", {1, 2}}, {"b", {3, -1}}, {"fillerV", {4}}, {"sil", {0}}};
    }

    // Header, node labels and links as text net lines.
    static std::vector<std::string> netLines(const std::vector<std::string>& labels,
                                             const std::vector<std::pair<int, int>>& links) {
        std::vector<std::string> v{"VERSION=1.0",
                                   "N=" + std::to_string(labels.size()) + "\tL=" + std::to_string(links.size())};
        for (size_t i = 0; i < labels.size(); ++i) v.push_back("I=" + std::to_string(i) + "\tW=" + labels[i]);
        for (size_t j = 0; j < links.size(); ++j)
            v.push_back("J=" + std::to_string(j) + "\tS=" + std::to_string(links[j].first) +
                        "\tE=" + std::to_string(links[j].second));
        return v;
    }

    std::string build(netClass& net, const std::vector<std::string>& lines) {
        ConsoleCapture quiet;
        return fatalMessage([&] { net.buildFromTxt(lines, dict); });
    }

    static std::vector<std::vector<int32_t>> nexts(const netClass& net) {
        std::vector<std::vector<int32_t>> v;
        for (const auto& n : net.node) v.push_back(n.next);
        return v;
    }
};

}  // namespace

// ---- text format -------------------------------------------------------------

TEST_F(NetTest, ParsesNodeLabelsInEveryForm) {
    netClass net;
    std::vector<std::string> lines = {"VERSION=1.0", "N=7\tL=3",
                                      "I=0\tW=!NULL",
                                      "I=1    W=!null",
                                      "I=2 \t W=sil \t\r",  // spaces or tabs around, trailing blanks dropped
                                      "I=3\tW=xy@2",       // index taken as given, no lookup
                                      "I=4\tW=!Null",
                                      "I=5\tW=a",
                                      "I=6\tW=fillerV",
                                      "J=0\tS=0\tE=2", "J=1 S=2 E=5", "J=9\tS=2\tE=1",
                                      "trailing lines are ignored"};
    ASSERT_EQ(build(net, lines), "<no fatal error>");
    EXPECT_EQ(net.nodeNum, 7);
    EXPECT_EQ(net.linkNum, 3);
    std::vector<std::string> words;
    std::vector<int32_t> idx;
    for (const auto& n : net.node) {
        words.push_back(n.word);
        idx.push_back(n.sylIndex);
    }
    EXPECT_EQ(words, (std::vector<std::string>{"!NULL", "!null", "sil", "xy", "!Null", "a", "fillerV"}));
    EXPECT_EQ(idx, (std::vector<int32_t>{-1, -1, 3, 2, -1, 0, 2}));
    EXPECT_EQ(net.node[2].next, (std::vector<int32_t>{5, 1}));
    for (const auto& n : net.node) {
        EXPECT_EQ(n.pathFlag, 1);
        EXPECT_EQ(n.penalty, 0.0f);
    }
}

TEST_F(NetTest, RejectsMalformedText) {
    netClass net;
    auto expectFatal = [&](const std::vector<std::string>& lines, const std::string& part) {
        std::string msg = build(net, lines);
        EXPECT_NE(msg.find(part), std::string::npos) << "expected \"" << part << "\", got: " << msg;
    };
    expectFatal({}, "Error: netVs.size()==0! (line ");
    expectFatal({"VERSION=1.0"}, "header");
    expectFatal({"VERSION=1.0", "nodes=2"}, "header");
    expectFatal({"VERSION=1.0", "N=-1\tL=0"}, "Negative");
    // Fewer lines than the header announces.
    expectFatal({"VERSION=1.0", "N=2\tL=1", "I=0\tW=!NULL", "I=1\tW=!NULL"}, "need 5");
    expectFatal({"VERSION=1.0", "N=1000000000\tL=1000000000"}, "need");
    std::vector<std::string> huge(200003, "I=0\tW=!NULL");
    huge[1] = "N=200001\tL=0";
    expectFatal(huge, "The net has 200001 nodes, more than the 200000 one run can search");
    // Labels: unknown unit, case variants that are not null labels, "@-1",
    // indices outside the dictionary.
    expectFatal(netLines({"!NULL", "!NULL", "nope"}, {}),
                "Error: \"nope\" (2) not found in the pronunciation dictionary. (line ");
    expectFatal(netLines({"!NULL", "!NULL", "!NUll"}, {}), "\"!NUll\" (2) not found");
    expectFatal(netLines({"!NULL", "!NULL", "a@-1"}, {}), "\"a\" (2) not found");
    expectFatal(netLines({"!NULL", "!NULL", "a@4"}, {}), "Error: sylIndex (4) out of the range of [0, 4]! (line ");
    expectFatal(netLines({"!NULL", "!NULL", "a@-7"}, {}), "sylIndex (-7) out of the range");
    expectFatal(netLines({"!NULL", "!NULL", "a@99999999999"}, {}), "out of the range");
    // Unparsable lines and link ends outside the net.
    expectFatal({"VERSION=1.0", "N=2\tL=0", "I=0\tW=!NULL", "node 1"}, "Cannot parse node line \"node 1\"");
    expectFatal({"V", "N=2\tL=1", "I=0\tW=!NULL", "I=1\tW=!NULL", "J=0\tS=0"}, "Cannot parse link line");
    expectFatal(netLines({"!NULL", "!NULL"}, {{0, 2}}), "ends outside [0, 1]");
    expectFatal(netLines({"!NULL", "!NULL"}, {{-1, 1}}), "ends outside");
}

TEST_F(NetTest, ReadNetFileChecksExtension) {
    netClass net;
    std::string msg = fatalMessage([&] { net.readNetFile(dir.file("x.Net"), dict); });
    EXPECT_EQ(msg.rfind("Error in reading " + dir.file("x.Net") +
                            ": The only allowed extension are \"net\" and \"netb\".  (line ",
                        0),
              0u)
        << msg;
    msg = fatalMessage([&] { net.readNetFile(dir.file("missing.NET"), dict); });
    EXPECT_NE(msg.find("missing.NET"), std::string::npos) << msg;
}

TEST_F(NetTest, TextRoundTripKeepsNodesAndLinks) {
    netClass net;
    writeFile(dir.file("in.net"),
              "VERSION=1.0\r\n\r\nN=6\tL=7\r\nI=0\tW=!NULL\r\nI=1\tW=!NULL\r\nI=2\tW=sil\r\nI=3\tW=a\r\n"
              "I=4\tW=!NULL\r\nI=5\tW=b\r\nJ=0\tS=0\tE=2\r\nJ=1\tS=2\tE=3\r\nJ=2\tS=2\tE=4\r\nJ=3\tS=4\tE=5\r\n"
              "J=4\tS=3\tE=1\r\nJ=5\tS=5\tE=1\r\nJ=6\tS=4\tE=3\r\n");
    {
        ConsoleCapture quiet;
        net.readNetFile(dir.file("in.net"), dict);
    }
    net.writeTxtFile(dir.file("out.net"));
    EXPECT_EQ(readFile(dir.file("out.net")),
              "VERSION=1.0 (by netClass::writeTxtFile())\nN=6\tL=7\n"
              "I=0\tW=!NULL\nI=1\tW=!NULL\nI=2\tW=sil@3\nI=3\tW=a@0\nI=4\tW=!NULL\nI=5\tW=b@1\n"
              "J=0\tS=0\tE=2\nJ=1\tS=2\tE=3\nJ=2\tS=2\tE=4\nJ=3\tS=3\tE=1\nJ=4\tS=4\tE=5\nJ=5\tS=4\tE=3\n"
              "J=6\tS=5\tE=1\n");

    netClass back;
    {
        ConsoleCapture quiet;
        back.readNetFile(dir.file("out.net"), dict);
    }
    ASSERT_EQ(back.node.size(), net.node.size());
    for (size_t i = 0; i < net.node.size(); ++i) {
        EXPECT_EQ(back.node[i].word, net.node[i].word);
        EXPECT_EQ(back.node[i].sylIndex, net.node[i].sylIndex);
        EXPECT_EQ(back.node[i].nextEmitting, net.node[i].nextEmitting);
    }
    EXPECT_EQ(nexts(back), nexts(net));
    EXPECT_EQ(net.node[2].nextEmitting, (std::vector<int32_t>{3, 5, 3}));
}

// ---- binary format -------------------------------------------------------------

TEST_F(NetTest, NetbRoundTripAndLabels) {
    netClass net;
    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "sil", "b", "a"}, {{0, 2}, {2, 3}, {2, 4}, {3, 1}, {4, 1}})),
              "<no fatal error>");
    net.writeNetbFile(dir.file("n.netb"));
    // 8 header bytes, 3 indices, 5 links.
    EXPECT_EQ(readFile(dir.file("n.netb")).size(), 8u + 12u + 40u);

    netClass back;
    back.readNetFile(dir.file("n.netb"), dict);
    EXPECT_EQ(back.nodeNum, 5);
    EXPECT_EQ(back.linkNum, 5);
    EXPECT_EQ(nexts(back), nexts(net));
    for (size_t i = 0; i < net.node.size(); ++i) EXPECT_EQ(back.node[i].sylIndex, net.node[i].sylIndex);
    EXPECT_EQ(back.node[0].word, "!NULL");
    EXPECT_EQ(back.node[3].word, "");
    EXPECT_EQ(back.node[0].nextEmitting, (std::vector<int32_t>{2}));

    // A netb net written as text labels its syllable nodes "@index" only,
    // and that text reads back to the same indices.
    back.writeTxtFile(dir.file("n.net"));
    std::string txt = readFile(dir.file("n.net"));
    EXPECT_NE(txt.find("I=3\tW=@1\n"), std::string::npos) << txt;
    netClass again;
    {
        ConsoleCapture quiet;
        again.readNetFile(dir.file("n.net"), dict);
    }
    for (size_t i = 0; i < net.node.size(); ++i) EXPECT_EQ(again.node[i].sylIndex, net.node[i].sylIndex);
    EXPECT_EQ(nexts(again), nexts(net));

    // Missing models of used entries become model 0 without a report.
    EXPECT_EQ(dict.m_pronDict[1].modelIndex[1], 0);
}

TEST_F(NetTest, NetbWithOneSyllableNode) {
    std::string bytes;
    auto put = [&](int32_t v) {
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * k)) & 0xff));
    };
    put(3), put(2), put(2), put(0), put(2), put(2), put(1);
    writeFile(dir.file("one.netb"), bytes);
    netClass net;
    net.readNetbFile(dir.file("one.netb"), dict);
    ASSERT_EQ(net.node.size(), 3u);
    EXPECT_EQ(net.node[2].sylIndex, 2);
    net.writeTxtFile(dir.file("one.net"));
    EXPECT_EQ(readFile(dir.file("one.net")),
              "VERSION=1.0 (by netClass::writeTxtFile())\nN=3\tL=2\nI=0\tW=!NULL\nI=1\tW=!NULL\nI=2\tW=@2\n"
              "J=0\tS=0\tE=2\nJ=1\tS=2\tE=1\n");
}

TEST_F(NetTest, RejectsBrokenNetb) {
    auto le = [](std::initializer_list<int32_t> values) {
        std::string b;
        for (int32_t v : values)
            for (int k = 0; k < 4; ++k) b.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * k)) & 0xff));
        return b;
    };
    netClass net;
    auto expectFatal = [&](const std::string& bytes, const std::string& part) {
        writeFile(dir.file("b.netb"), bytes);
        std::string msg = fatalMessage([&] { net.readNetbFile(dir.file("b.netb"), dict); });
        EXPECT_NE(msg.find(part), std::string::npos) << "expected \"" << part << "\", got: " << msg;
    };
    expectFatal("", "too few for the node and link counts");
    expectFatal(le({3}), "too few");
    expectFatal(le({1, 0}), "declares 1 nodes");
    expectFatal(le({-5, 0}), "declares -5 nodes");
    expectFatal(le({2, -1}), "declares -1 links");
    expectFatal(le({4, 1, 0}), "need 24");  // second index and the link are missing
    expectFatal(le({0x7fffffff, 0x7fffffff}), "need");  // counts beyond the file: no huge allocation
    expectFatal(le({3, 0, 4}), "sylIndex (4) out of the range of [0, 4]");
    expectFatal(le({3, 0, -1}), "sylIndex (-1) out of the range");
    expectFatal(le({3, 1, 0, 0, 3}), "ends outside [0, 2]");
}

TEST_F(NetTest, NetbWriterNeedsNullEndsAndSyllableNodes) {
    netClass net;
    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "!NULL", "a"}, {{0, 2}, {2, 3}, {3, 1}})), "<no fatal error>");
    std::string msg = fatalMessage([&] { net.writeNetbFile(dir.file("x.netb")); });
    EXPECT_NE(msg.find("node 2 is a null node"), std::string::npos) << msg;
    ASSERT_EQ(build(net, netLines({"a", "!NULL"}, {{0, 1}})), "<no fatal error>");
    msg = fatalMessage([&] { net.writeNetbFile(dir.file("x.netb")); });
    EXPECT_NE(msg.find("null nodes 0 and 1"), std::string::npos) << msg;
}

// ---- word successors through null nodes ---------------------------------------

TEST_F(NetTest, NextEmittingPassesThroughNullNodes) {
    netClass net;
    // 0 -> 2(null) -> 3(null) -> 4(a); 0 -> 5(b); 3 -> 6(null, dead end);
    // 2 -> 4 directly too, so 4 is reached over two null paths.
    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "!NULL", "!NULL", "a", "b", "!NULL"},
                                  {{0, 2}, {2, 3}, {3, 4}, {0, 5}, {3, 6}, {2, 4}, {4, 1}, {5, 1}})),
              "<no fatal error>");
    EXPECT_EQ(net.node[0].nextEmitting, (std::vector<int32_t>{4, 4, 5}));
    EXPECT_EQ(net.node[3].nextEmitting, (std::vector<int32_t>{4}));
    EXPECT_TRUE(net.node[1].nextEmitting.empty());
    EXPECT_TRUE(net.node[6].nextEmitting.empty());
    EXPECT_EQ(net.maxFanOut(), 3);

    std::vector<int32_t> out{99};
    net.collectNextEmitting(2, out);  // appends
    EXPECT_EQ(out, (std::vector<int32_t>{99, 4, 4}));
    EXPECT_NE(fatalMessage([&] { net.collectNextEmitting(7, out); }).find("out of the range"), std::string::npos);
}

TEST_F(NetTest, BuiltListsMatchTheDepthFirstWalk) {
    // Random nets whose null links only go forward (no null cycle), with
    // syllable nodes linking anywhere: the lists made while building must
    // equal a fresh walk from each node.
    srand(7);
    for (int round = 0; round < 50; ++round) {
        const int n = 3 + rand() % 12;
        std::vector<std::string> labels{"!NULL", "!NULL"};
        for (int i = 2; i < n; ++i) labels.push_back(rand() % 2 ? "!NULL" : "a");
        std::vector<std::pair<int, int>> links;
        for (int k = 0; k < 2 * n; ++k) {
            int s = rand() % n, e = rand() % n;
            if (labels[e] == "!NULL" && labels[s] == "!NULL" && e <= s) continue;
            links.push_back({s, e});
        }
        netClass net;
        ASSERT_EQ(build(net, netLines(labels, links)), "<no fatal error>");
        for (int i = 0; i < n; ++i) {
            std::vector<int32_t> walk;
            net.collectNextEmitting(i, walk);
            EXPECT_EQ(net.node[i].nextEmitting, walk) << "round " << round << " node " << i;
        }
    }
}

TEST_F(NetTest, NullCyclesAreFatalButSyllableLoopsAreNot) {
    netClass net;
    // A syllable node may loop back to itself through null nodes.
    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "!NULL", "a"}, {{0, 2}, {2, 3}, {3, 2}, {3, 1}})),
              "<no fatal error>");
    EXPECT_EQ(net.node[3].nextEmitting, (std::vector<int32_t>{3}));
    EXPECT_EQ(net.node[2].nextEmitting, (std::vector<int32_t>{3}));

    std::string msg = build(net, netLines({"!NULL", "!NULL", "!NULL", "!NULL", "a"},
                                          {{0, 2}, {2, 3}, {3, 2}, {3, 4}, {4, 1}}));
    EXPECT_NE(msg.find("Null nodes form a cycle through node"), std::string::npos) << msg;
    msg = build(net, netLines({"!NULL", "!NULL"}, {{0, 0}, {0, 1}}));
    EXPECT_NE(msg.find("cycle through node 0"), std::string::npos) << msg;

    // The same check guards the binary reader.
    std::string b;
    for (int32_t v : {3, 3, 0, 0, 1, 1, 0, 0, 2})
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * k)) & 0xff));
    writeFile(dir.file("c.netb"), b);
    msg = fatalMessage([&] { net.readNetbFile(dir.file("c.netb"), dict); });
    EXPECT_NE(msg.find("cycle"), std::string::npos) << msg;
}

TEST_F(NetTest, LongNullChainDoesNotExhaustTheStack) {
    const int chain = 190000;  // within the node limit
    std::vector<std::string> labels{"!NULL", "!NULL"};
    std::vector<std::pair<int, int>> links{{0, 2}};
    for (int i = 0; i < chain; ++i) {
        labels.push_back("!NULL");
        links.push_back({2 + i, 3 + i});
    }
    labels.push_back("a");
    links.push_back({2 + chain, 1});
    netClass net;
    ASSERT_EQ(build(net, netLines(labels, links)), "<no fatal error>");
    EXPECT_EQ(net.node[0].nextEmitting, (std::vector<int32_t>{2 + chain}));
}

TEST_F(NetTest, DoublingNullLinksAreBoundedNotExpanded) {
    // Each null node linked twice to the next doubles the paths: 2^30 entries
    // would be listed at node 0. 20 steps (2^20 paths) are still fine.
    for (int steps : {20, 30}) {
        std::vector<std::string> labels{"!NULL", "!NULL"};
        std::vector<std::pair<int, int>> links{{0, 2}};
        for (int i = 0; i < steps; ++i) {
            labels.push_back("!NULL");
            links.push_back({2 + i, 3 + i});
            links.push_back({2 + i, 3 + i});
        }
        labels.push_back("a");
        links.push_back({2 + steps, 1});
        netClass net;
        const std::string msg = build(net, netLines(labels, links));
        if (steps == 20) {
            EXPECT_EQ(msg, "<no fatal error>");
            EXPECT_EQ(net.node[0].nextEmitting.size(), size_t{1} << 20);
        } else {
            EXPECT_NE(msg.find("more than 4194304 syllable successors"), std::string::npos) << msg;
        }
    }
}

// ---- missing models, penalties, fan-out ---------------------------------------

TEST_F(NetTest, MissingModelsAreListedOnceAndReplaced) {
    netClass net;
    ConsoleCapture out;
    const std::string path = dir.file("missingModelUsed.txt");
    const std::vector<std::string> lines = netLines({"!NULL", "!NULL", "b", "b", "a"}, {{0, 2}, {2, 3}, {3, 4}, {4, 1}});
    const std::string warning = "Warning: Missing model in syllable \"b\" (myDict.m_pronDict[1].modelIndex[1])\n";
    // Without a list file (a run without output folder) nothing is written.
    net.buildFromTxt(lines, dict);
    EXPECT_FALSE(qv::fileExists(path));
    EXPECT_EQ(out.text, warning);
    EXPECT_EQ(dict.m_pronDict[1].modelIndex, (std::vector<int32_t>{3, 0}));
    dict.m_pronDict[1].modelIndex[1] = -1;
    out.text.clear();
    net.buildFromTxt(lines, dict, path);
    EXPECT_EQ(readFile(path), "List of missing models used in net.\n" + warning);
    EXPECT_EQ(out.text, "\tSaved missing used models in " + path + "\n");
}

TEST_F(NetTest, PenaltiesGoToFillerNodesAndFanOutCountsWordSuccessors) {
    netClass empty;
    EXPECT_EQ(empty.maxFanOut(), 0);

    netClass net;
    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "a"}, {{0, 2}, {2, 1}})), "<no fatal error>");
    EXPECT_EQ(net.maxFanOut(), 1);

    ASSERT_EQ(build(net, netLines({"!NULL", "!NULL", "fillerV", "sil", "fillerV@2"}, {{0, 2}, {0, 3}, {0, 4}})),
              "<no fatal error>");
    net.node[3].pathFlag = 0;
    net.node[3].penalty = 9.0f;
    net.setNodePenalty(5.0f);
    EXPECT_EQ(net.node[2].penalty, 5.0f);
    EXPECT_EQ(net.node[4].penalty, 5.0f);
    EXPECT_EQ(net.node[3].penalty, 0.0f);
    EXPECT_EQ(net.node[0].penalty, 0.0f);
    EXPECT_EQ(net.node[3].pathFlag, 1);
    EXPECT_EQ(net.maxFanOut(), 3);
}
