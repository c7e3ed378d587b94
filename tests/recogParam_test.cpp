#include <gtest/gtest.h>

#include "engine/recogTask.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {
recogParam readFrom(const ScratchDir& dir, const std::string& text) {
    writeFile(dir.file("p.prm"), text);
    recogParam prm;
    recogParamRead(dir.file("p.prm"), prm);
    return prm;
}
}  // namespace

TEST(RecogParam, DefaultsWhenUnset) {
    ScratchDir dir;
    recogParam prm = readFrom(dir, "language = chinese\n");
    EXPECT_EQ(prm.usePaddedHardSp, 1);
    EXPECT_EQ(prm.usePaddedSoftSil, 1);
    EXPECT_EQ(prm.useDescCandidateNum, 1);
    EXPECT_EQ(prm.maxCandidateNum, 0);
    EXPECT_EQ(prm.probTh, 0);
    EXPECT_STREQ(prm.macFile, "");
    EXPECT_STREQ(prm.language, "chinese");
}

TEST(RecogParam, SyntaxCommentsBlanksAndIntegers) {
    ScratchDir dir;
    recogParam prm = readFrom(dir,
                              "useEpd = 1 % switch on EPD\r\n"
                              "macFile=  models/a.mac \t\n"
                              "% only a comment\n"
                              "\n"
                              "netType\n"
                              "outputDir =\n"
                              "probTh = -200\n"
                              "comparisonMode = 0.75\n"
                              "maxCandidateNum = 1e3\n"
                              "nodePenalty = abc\n"
                              "wavFile = a=b.wav\n"
                              "language = chinese\n"
                              "language = english\n");
    EXPECT_EQ(prm.useEpd, 1);
    EXPECT_STREQ(prm.macFile, "models/a.mac");
    EXPECT_EQ(prm.netType, 0);
    EXPECT_STREQ(prm.outputDir, "");
    EXPECT_EQ(prm.probTh, -200);
    EXPECT_EQ(prm.comparisonMode, 0);
    EXPECT_EQ(prm.maxCandidateNum, 1);
    EXPECT_EQ(prm.nodePenalty, 0);
    EXPECT_STREQ(prm.wavFile, "a=b.wav");
    EXPECT_STREQ(prm.language, "english");
}

TEST(RecogParam, RereadStartsFromDefaults) {
    ScratchDir dir;
    recogParam prm = readFrom(dir, "usePaddedHardSp = 0\nmacFile = x.mac\n");
    writeFile(dir.file("q.prm"), "dicFile = d.dic\n");
    recogParamRead(dir.file("q.prm"), prm);
    EXPECT_EQ(prm.usePaddedHardSp, 1);
    EXPECT_STREQ(prm.macFile, "");
    EXPECT_STREQ(prm.dicFile, "d.dic");
}

TEST(RecogParam, UnknownKeyStopsAfterEarlierPairs) {
    ScratchDir dir;
    writeFile(dir.file("p.prm"), "language = chinese\nFunction = assess\nmacFile = never.mac\n");
    recogParam prm;
    try {
        recogParamRead(dir.file("p.prm"), prm);
        FAIL();
    } catch (const FatalError& e) {
        std::string want = "Error in parsing " + dir.file("p.prm") + ", unknown key = Function (line ";
        EXPECT_EQ(std::string(e.what()).rfind(want, 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" in recogTask)"), std::string::npos);
    }
    EXPECT_STREQ(prm.language, "chinese");
    EXPECT_STREQ(prm.macFile, "");

    writeFile(dir.file("e.prm"), "= value\n");
    EXPECT_THROW(recogParamRead(dir.file("e.prm"), prm), FatalError);
}

TEST(RecogParam, OverlongValueIsRefusedNotCut) {
    ScratchDir dir;
    writeFile(dir.file("p.prm"), "wavFile = " + std::string(999, 'a') + "\n");
    recogParam prm;
    recogParamRead(dir.file("p.prm"), prm);
    EXPECT_EQ(std::string(prm.wavFile).size(), 999u);
    writeFile(dir.file("p.prm"), "wavFile = " + std::string(1000, 'a') + "\n");
    try {
        recogParamRead(dir.file("p.prm"), prm);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_NE(std::string(e.what()).find("wavFile"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find(dir.file("p.prm")), std::string::npos);
    }
}

TEST(RecogParam, MissingFileAndOverrides) {
    recogParam prm;
    EXPECT_THROW(recogParamRead("/no/such.prm", prm), FatalError);
    recogParamSet(prm, "getPitch", "1", "command line");
    EXPECT_EQ(prm.getPitch, 1);
    EXPECT_THROW(recogParamSet(prm, "nope", "1", "command line"), FatalError);
}
