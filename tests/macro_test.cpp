#include "engine/models/macro.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;
using qvtest::ConsoleCapture;
using qvtest::readFile;
using qvtest::ScratchDir;
using qvtest::writeFile;

namespace {

// n numbers base, base+1, ... on one line.
std::string nums(int n, double base, double step = 1.0) {
    std::string s;
    char buf[64];
    for (int i = 0; i < n; ++i) {
        snprintf(buf, sizeof(buf), " %g", base + i * step);
        s += buf;
    }
    return s + "\n";
}

// One Gaussian; mixNo 0 means no <MIXTURE> line.
std::string gauss(int mixNo, double weight, double base, const std::string& extra = "", int width = 13,
                  bool gconst = true) {
    std::string s;
    if (mixNo > 0) s += "<MIXTURE> " + std::to_string(mixNo) + " " + std::to_string(weight) + "\n";
    s += extra;
    s += "<MEAN> " + std::to_string(width) + "\n" + nums(width, base);
    s += "<VARIANCE> " + std::to_string(width) + "\n" + nums(width, 0.5, 0.25);
    if (gconst) s += "<GCONST> " + std::to_string(base * 10) + "\n";
    return s;
}

const char* kTrans3 = "<TRANSP> 3\n 0 1 0\n 0 0.6 0.4\n 0 0 0\n";
const char* kTrans5 = "<TRANSP> 5\n 0 1 0 0 0\n 0 0.5 0.5 0 0\n 0 0 0.7 0.3 0\n 0 0 0 0.2 0.8\n 0 0 0 0 0\n";

std::string head(int streams) {
    std::string s = "~o\n<STREAMINFO> " + std::to_string(streams);
    for (int i = 0; i < streams; ++i) s += " 13";
    return s + "\n<VECSIZE> " + std::to_string(13 * streams) + "<NULLD><MFCC_E_D_A><DIAGC>\n";
}

// A one-stream, one-state model with a single Gaussian.
std::string simpleModel(const std::string& name, double base = 0.0) {
    return "~h \"" + name + "\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, base) +
           kTrans3 + "<ENDHMM>\n";
}

std::string writeText(const ScratchDir& dir, const std::string& body, const std::string& name = "m.mac") {
    std::string path = dir.file(name);
    writeFile(path, body);
    return path;
}

// Fatal message of a read, or "" when it succeeded.
std::string readError(const std::string& path, bool prepare = false) {
    ConsoleCapture quiet;
    macroClass set;
    return qvtest::fatalMessage([&] { set.readMacro(path, prepare); }, "");
}

bool sameNumbers(const macroClass& a, const macroClass& b) {
    if (a.modelNum != b.modelNum || a.streamNum != b.streamNum) return false;
    if (memcmp(a.streamWidth, b.streamWidth, sizeof(a.streamWidth)) != 0) return false;
    for (int i = 0; i < a.modelNum; ++i)
        if (!sameModel(a.model[i], b.model[i])) return false;
    return true;
}

// A three-stream set with varied mixture counts, built in memory as a
// trainer would.
macroClass builtSet() {
    macroClass set;
    set.streamNum = 3;
    for (int s = 0; s < 3; ++s) set.streamWidth[s] = 13;
    set.allocModels(3);
    const char* names[] = {"zh-i+sil", "a", "b-a+n"};
    for (int i = 0; i < 3; ++i) {
        hmmModel& m = set.model[i];
        macroClass::setModelName(m, names[i]);
        m.stateNum = i == 1 ? 3 : 5;
        for (int st = 0; st < m.stateNum - 2; ++st) {
            for (int s = 0; s < 3; ++s) {
                m.state[st].streamWeight[s] = 1.0f;
                hmmStream& stream = m.state[st].stream[s];
                stream.mixtureNum = 1 + (i + st + s) % 4;
                for (int k = 0; k < stream.mixtureNum; ++k) {
                    hmmMixture& g = stream.mixture[k];
                    g.weight = 1.0f / stream.mixtureNum;
                    for (int d = 0; d < 13; ++d) {
                        g.mean[d] = 0.1f * (d - 6) + 0.37f * k + 1.7f * st - 0.013f * i;
                        g.var[d] = 0.05f + 0.011f * d + 0.3f * k;
                    }
                    g.gconst = macroClass::computeGconst(g.var, 13);
                }
            }
        }
        for (int r = 0; r < m.stateNum - 1; ++r) {
            if (r == 0) {
                m.transP[0][1] = 1.0f;
                continue;
            }
            m.transP[r][r] = 0.6f + 0.01f * r;
            m.transP[r][r + 1] = 1.0f - m.transP[r][r];
        }
    }
    return set;
}

}  // namespace

// ---- text format -----------------------------------------------------------

TEST(MacroText, ReadsHeaderModelsAndRawValuesInFileOrder) {
    ScratchDir dir;
    std::string body = head(1) + simpleModel("b", 2.0) +
                       "~h \"a\"\n<BEGINHMM>\n<NUMSTATES> 5\n"
                       "<STATE> 2\n<NUMMIXES> 2\n<SWEIGHTS> 1\n 0.9\n" +
                       gauss(1, 0.25, 1.0) + gauss(2, 0.75, 3.0) +
                       "<STATE> 3\n<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, 4.0) +
                       "<STATE> 4\n<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, 5.0) + kTrans5 + "<ENDHMM>\n";
    macroClass set;
    set.readMacro(writeText(dir, body), false);

    EXPECT_STREQ(set.header, "<VECSIZE> 13<NULLD><MFCC_E_D_A><DIAGC>");
    ASSERT_EQ(set.modelNum, 2);
    EXPECT_EQ(set.streamNum, 1);
    EXPECT_EQ(set.streamWidth[0], 13);
    EXPECT_STREQ(set.model[0].name, "b");
    const hmmModel& a = set.model[1];
    EXPECT_STREQ(a.name, "a");
    EXPECT_EQ(a.stateNum, 5);
    EXPECT_FLOAT_EQ(a.state[0].streamWeight[0], 0.9f);
    EXPECT_EQ(a.state[0].stream[0].mixtureNum, 2);
    EXPECT_FLOAT_EQ(a.state[0].stream[0].mixture[1].weight, 0.75f);
    EXPECT_FLOAT_EQ(a.state[0].stream[0].mixture[1].mean[12], 15.0f);
    EXPECT_FLOAT_EQ(a.state[0].stream[0].mixture[1].var[2], 1.0f);
    EXPECT_FLOAT_EQ(a.state[0].stream[0].mixture[1].gconst, 30.0f);
    EXPECT_EQ(a.state[2].stream[0].mixtureNum, 1);
    EXPECT_FLOAT_EQ(a.state[2].stream[0].mixture[0].mean[0], 5.0f);
    EXPECT_FLOAT_EQ(a.transP[2][3], 0.3f);
    EXPECT_FLOAT_EQ(a.transP[3][4], 0.8f);
    EXPECT_FALSE(set.isPrepared());
}

TEST(MacroText, OptionalPartsAreSkipped) {
    ScratchDir dir;
    // Two streams: stream 1 declares 4 mixtures but lists only 2, the first
    // numbered 3 and carrying <RCLASS>; stream 2 has one mixture without
    // <GCONST>. The next state has no <NUMMIXES>.
    std::string body = head(2) +
                       "~h \"x\"\n<BEGINHMM>\n<NUMSTATES> 4\n"
                       "<STATE> 2\n<NUMMIXES> 4 1\n<SWEIGHTS> 2\n 1.0 0.5\n"
                       "<STREAM> 1\n" +
                       gauss(3, 0.4, 1.0, "<RCLASS> 7\n") + gauss(1, 0.6, 2.0) + "<STREAM> 2\n" +
                       gauss(0, 1, 9.0, "", 13, false) +
                       "<STATE> 3\n<SWEIGHTS> 2\n 1.0 1.0\n<STREAM> 1\n" + gauss(0, 1, 1.0) + "<STREAM> 2\n" +
                       gauss(0, 1, 2.0, "", 13, false) +
                       "<TRANSP> 4\n 0 1 0 0\n 0 0.5 0.5 0\n 0 0 0.5 0.5\n 0 0 0 0\n<ENDHMM>\n";
    macroClass set;
    set.readMacro(writeText(dir, body), false);
    ASSERT_EQ(set.modelNum, 1);
    const hmmModel& m = set.model[0];
    const hmmStream& s1 = m.state[0].stream[0];
    EXPECT_EQ(s1.mixtureNum, 4);
    EXPECT_FLOAT_EQ(s1.mixture[0].weight, 0.4f);  // numbered 3, stored first
    EXPECT_FLOAT_EQ(s1.mixture[0].mean[0], 1.0f);
    EXPECT_FLOAT_EQ(s1.mixture[1].weight, 0.6f);
    EXPECT_EQ(s1.mixture[2].weight, 0.0f);
    EXPECT_EQ(s1.mixture[3].weight, 0.0f);
    // Missing <GCONST> is computed from the variances.
    const hmmMixture& noG = m.state[0].stream[1].mixture[0];
    EXPECT_FLOAT_EQ(noG.mean[0], 9.0f);
    EXPECT_NEAR(noG.gconst, macroClass::computeGconst(noG.var, 13), 1e-5);
    EXPECT_EQ(m.state[1].stream[0].mixtureNum, 1);
    EXPECT_EQ(m.state[1].stream[1].mixtureNum, 1);
    EXPECT_FLOAT_EQ(m.state[1].stream[1].mixture[0].weight, 1.0f);
    EXPECT_FLOAT_EQ(m.transP[2][3], 0.5f);

    set.sortModels();
    set.prepareModels();
    EXPECT_FLOAT_EQ(s1.mixture[1].weight, std::log(0.6f));
    EXPECT_EQ(s1.mixture[2].weight, -1e10f);
    EXPECT_EQ(s1.mixture[3].weight, -1e10f);
    EXPECT_EQ(m.state[1].stream[1].mixture[0].weight, 0.0f);  // log 1
}

TEST(MacroText, EarlyStreamEndBeforeTransitionsAndWithCrLf) {
    ScratchDir dir;
    std::string body = head(1) +
                       "~h \"y\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n<NUMMIXES> 3\n<SWEIGHTS> 1\n 1.0\n" +
                       gauss(1, 1.0, 0.0) + kTrans3 + "<ENDHMM>\n" + simpleModel("z");
    std::string crlf;
    for (char c : body) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    macroClass set;
    set.readMacro(writeText(dir, crlf), true);
    ASSERT_EQ(set.modelNum, 2);
    EXPECT_STREQ(set.header, "<VECSIZE> 13<NULLD><MFCC_E_D_A><DIAGC>");
    EXPECT_EQ(set.model[0].state[0].stream[0].mixture[1].weight, -1e10f);
    EXPECT_FLOAT_EQ(set.model[0].transP[1][2], std::log(0.4f));
}

TEST(MacroText, MalformedFilesFailWithTheirMessage) {
    ScratchDir dir;
    struct Case {
        std::string body;
        std::string message;
    };
    const std::string st = "~h \"a\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n";
    const std::vector<Case> cases = {
        {head(1) + st + "<NUMMIXES> 33\n<SWEIGHTS> 1\n 1\n", "Error: mixtureNum=33 exceeds MAX_MIXTURE_NUM=32"},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, 0, "", 12) + kTrans3 + "<ENDHMM>\n",
         "Error: MAX_PARAM_NUM = 13 != 12!"},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n<MEAM> 13\n", "Error: Cannot find \"<MEAN>\""},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n<MEAN> 13\n" + nums(13, 0) + "<VAR> 13\n",
         "Cannot find \"<VARIANCE>\""},
        {head(1) + st + "<SWEIGHT> 1\n 1.0\n", "ERROR: fail to read <NUMMIXES> or <SWEIGHTS> at modelId = 0, stateId = 2"},
        {head(1) + "~h \"a\"\n<BEGIN>\n", "modelId=0, str1=<BEGIN>, Cannot find \"<BEGINHMM>\""},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, 0) + "<TRANS> 3\n", "Error: Cannot find \"<TRANSP>\""},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n" + gauss(0, 1, 0) + kTrans3 + "<END>\n",
         "Error: Not reading <ENDHMM>, modelId=0"},
        {head(2) + st + "<SWEIGHTS> 2\n 1.0 1.0\n" + gauss(0, 1, 0), "str1=<MEAN>, temp=2, Cannot find \"<STREAM>\""},
        // Limits of the record layout.
        {head(1) + "~h \"a\"\n<BEGINHMM>\n<NUMSTATES> 6\n", "stateNum=6 of modelId=0 is outside 3..5"},
        {head(1) + "~h \"a\"\n<BEGINHMM>\n<NUMSTATES> 2\n", "stateNum=2 of modelId=0 is outside 3..5"},
        {"~o\n<STREAMINFO> 4 13 13 13 13\n<VECSIZE> 52\n", "streamNum=4 is outside 1..MAX_STREAM_NUM=3"},
        {"~o\n<STREAMINFO> 1 39\n<VECSIZE> 39\n", "streamWidth[0]=39 is outside 1..MAX_PARAM_NUM=13"},
        {head(1) + "~h \"" + std::string(52, 'n') + "\"\n", "is longer than 51 characters"},
        // Numbers that do not parse, and a file that ends early.
        {head(1) + "~h \"a\"\n<BEGINHMM>\n<NUMSTATES> three\n",
         "expected the state count but found \"three\" at line 6 of the file"},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n<MEAN> 13\n 1 2 3 4 5 6 x7 8 9 10 11 12 13\n",
         "expected a mean value but found \"x7\" at line 11 of the file"},
        {head(1) + st + "<SWEIGHTS> 1\n 1.0\n<MEAN> 13\n 1 2 3\n", "unexpected end of file, expected a mean value"},
        {head(1) + "~h a\n", "expected a model name in double quotes"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string err = readError(writeText(dir, cases[i].body));
        EXPECT_NE(err.find(cases[i].message), std::string::npos) << "case " << i << ": " << err;
        EXPECT_NE(err.find("of macro)"), std::string::npos) << "case " << i << ": " << err;
    }
}

TEST(MacroText, MissingStreamHeaderNamesTheModelFirst) {
    ScratchDir dir;
    std::string body = head(2) + "~h \"q\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n<SWEIGHTS> 2\n 1 1\n" + gauss(0, 1, 0);
    ConsoleCapture cap;
    macroClass set;
    EXPECT_THROW(set.readMacro(writeText(dir, body), false), FatalError);
    EXPECT_EQ(cap.text.rfind("modelId=0 (q), stateId=2\n", 0), 0u) << cap.text;
}

// ---- format dispatch and failure safety ----------------------------------------

TEST(MacroFiles, ExtensionSelectsTheFormatExactly) {
    ScratchDir dir;
    const std::string text = head(1) + simpleModel("a");
    for (const char* name : {"models.Mac", "models.maC", "models", "models.txt", "models.Macb"}) {
        std::string err = readError(writeText(dir, text, name));
        EXPECT_EQ(err, "Error in reading \"" + dir.file(name) +
                            "\": The only allowed extension are \"mac\" and \"macb\" (line " +
                            err.substr(err.find("(line ") + 6, err.find(" of") - err.find("(line ") - 6) +
                            " of macro) \n")
            << name;
    }
    EXPECT_EQ(readError(writeText(dir, text, "models.MAC")), "");

    macroClass set;
    set.readMacro(dir.file("models.MAC"), false);
    set.writeMacro(dir.file("models.MACB"));
    EXPECT_EQ(readError(dir.file("models.MACB")), "");
    EXPECT_NE(readError(dir.file("missing.mac")).find("Cannot open file"), std::string::npos);
}

TEST(MacroFiles, FailedReadLeavesTheSetUntouched) {
    ScratchDir dir;
    macroClass set;
    set.readMacro(writeText(dir, head(1) + simpleModel("keep")), true);
    std::string bad = writeText(dir, head(1) + simpleModel("a") + "~h \"b\"\n<BEGINHMM>\n", "bad.mac");
    ConsoleCapture quiet;
    EXPECT_THROW(set.readMacro(bad, true), FatalError);
    ASSERT_EQ(set.modelNum, 1);
    EXPECT_STREQ(set.model[0].name, "keep");
    EXPECT_TRUE(set.isPrepared());
}

TEST(MacroFiles, ModelCountsTheFileCannotHoldAreRejectedBeforeAllocation) {
    // 70,000 "~h" lines in 210 KB once reserved 32 KB per model (2.2 GB).
    std::string lines;
    for (int i = 0; i < 70000; ++i) lines += "~h\n";
    macroClass set;
    ConsoleCapture quiet;
    const std::string msg = qvtest::fatalMessage([&] { set.readMacroTextBytes(head(1) + lines, "many.mac"); });
    EXPECT_NE(msg.find("70000 models (lines starting with ~h) cannot be held by a file of"), std::string::npos) << msg;
}

TEST(MacroFiles, BytesInMemoryReadLikeTheFile) {
    ScratchDir dir;
    const std::string path = writeText(dir, head(1) + simpleModel("b") + simpleModel("a", 2.0));
    macroClass fromFile, fromBytes;
    fromFile.readMacro(path, true);
    fromBytes.readMacroBytes(readFile(path), path, true);
    EXPECT_TRUE(sameNumbers(fromFile, fromBytes));
    EXPECT_STREQ(fromBytes.model[0].name, "a");
}

// ---- binary format ---------------------------------------------------------------

TEST(MacroBinary, LayoutMatchesTheRecordFormat) {
    ScratchDir dir;
    macroClass set;
    set.readMacro(writeText(dir, head(1) + simpleModel("ab", 1.0)), false);
    set.writeMacro(dir.file("m.macb"));
    std::string bytes = readFile(dir.file("m.macb"));
    // 3 ints, 50-byte name, stateNum, 1 stream weight, mixtureNum, 1 record, 3x3 matrix.
    ASSERT_EQ(bytes.size(), 12u + 50 + 4 + 4 + 4 + 112 + 36);
    auto i32 = [&](size_t off) {
        int32_t v;
        memcpy(&v, bytes.data() + off, 4);
        return v;
    };
    auto f32 = [&](size_t off) {
        float v;
        memcpy(&v, bytes.data() + off, 4);
        return v;
    };
    EXPECT_EQ(i32(0), 1);
    EXPECT_EQ(i32(4), 1);
    EXPECT_EQ(i32(8), 13);
    EXPECT_EQ(std::string(bytes.data() + 12, 3), std::string("ab\0", 3));
    EXPECT_EQ(i32(62), 3);
    EXPECT_FLOAT_EQ(f32(66), 1.0f);  // stream weight
    EXPECT_EQ(i32(70), 1);           // mixtureNum
    EXPECT_FLOAT_EQ(f32(74), 1.0f);  // weight
    EXPECT_FLOAT_EQ(f32(78), 1.0f);  // mean[0]
    EXPECT_FLOAT_EQ(f32(78 + 52), 0.5f);  // var[0]
    EXPECT_FLOAT_EQ(f32(78 + 104), 10.0f);  // gconst
    EXPECT_FLOAT_EQ(f32(186 + 4 * 4), 0.6f);  // transP[1][1]

    macroClass back;
    back.readMacro(dir.file("m.macb"), false);
    EXPECT_TRUE(sameNumbers(set, back));
    EXPECT_STREQ(back.header, "");
}

TEST(MacroBinary, EveryTruncationFailsCleanly) {
    ScratchDir dir;
    macroClass set = builtSet();
    set.writeMacro(dir.file("full.macb"));
    const std::string bytes = readFile(dir.file("full.macb"));
    ConsoleCapture quiet;
    for (size_t len = 0; len < bytes.size(); len += (len < 400 ? 1 : 97)) {
        writeFile(dir.file("cut.macb"), bytes.substr(0, len));
        macroClass back;
        try {
            back.readMacro(dir.file("cut.macb"), true);
            ADD_FAILURE() << "truncated to " << len << " bytes was accepted";
        } catch (const FatalError& e) {
            EXPECT_TRUE(strstr(e.what(), "file truncated") || strstr(e.what(), "does not fit"))
                << len << ": " << e.what();
        }
    }
    writeFile(dir.file("long.macb"), bytes + std::string(3, '\0'));
    EXPECT_NE(readError(dir.file("long.macb")).find("3 bytes follow the last of the 3 models"), std::string::npos);
}

TEST(MacroBinary, CountsBeyondTheLimitsAreRejected) {
    ScratchDir dir;
    macroClass set;
    set.readMacro(writeText(dir, head(1) + simpleModel("a")), false);
    set.writeMacro(dir.file("ok.macb"));
    const std::string good = readFile(dir.file("ok.macb"));
    auto patched = [&](size_t off, int32_t v) {
        std::string b = good;
        memcpy(&b[off], &v, 4);
        writeFile(dir.file("bad.macb"), b);
        return readError(dir.file("bad.macb"));
    };
    EXPECT_NE(patched(0, -1).find("modelNum=-1 does not fit"), std::string::npos);
    EXPECT_NE(patched(0, 0x7fffffff).find("modelNum=2147483647 does not fit"), std::string::npos);
    EXPECT_NE(patched(0, 8193).find("more than the 8192 a set may have"), std::string::npos);
    EXPECT_NE(patched(4, 4).find("streamNum=4 is outside"), std::string::npos);
    EXPECT_NE(patched(4, 0).find("streamNum=0 is outside"), std::string::npos);
    EXPECT_NE(patched(8, 14).find("streamWidth[0]=14 is outside"), std::string::npos);
    EXPECT_NE(patched(62, 6).find("stateNum=6 of modelId=0"), std::string::npos);
    EXPECT_NE(patched(70, 33).find("mixtureNum=33 exceeds MAX_MIXTURE_NUM=32"), std::string::npos);
    EXPECT_NE(patched(70, -2).find("mixtureNum=-2 is negative"), std::string::npos);
}

TEST(MacroBinary, NamesUseTheWholeFieldAndStayTerminated) {
    ScratchDir dir;
    macroClass set = builtSet();
    macroClass::setModelName(set.model[0], std::string(50, 'n'));
    set.writeMacro(dir.file("n.macb"));
    // Garbage after the NUL of a name must not survive.
    std::string bytes = readFile(dir.file("n.macb"));
    size_t second = bytes.find(std::string("a\0", 2), 12 + 50);
    ASSERT_NE(second, std::string::npos);
    bytes[second + 5] = 'X';
    writeFile(dir.file("n.macb"), bytes);
    macroClass back;
    back.readMacro(dir.file("n.macb"), false);
    EXPECT_EQ(std::string(back.model[0].name), std::string(50, 'n'));
    EXPECT_EQ(std::string(back.model[1].name), "a");
    EXPECT_EQ(back.model[1].name[5], '\0');

    macroClass::setModelName(set.model[0], std::string(51, 'n'));
    ConsoleCapture quiet;
    EXPECT_THROW(set.writeMacro(dir.file("long.macb")), FatalError);
    set.writeMacro(dir.file("long.mac"));  // the text format holds 51
    EXPECT_THROW(macroClass::setModelName(set.model[0], std::string(52, 'n')), FatalError);
}

// ---- round trips -----------------------------------------------------------------

TEST(MacroRoundTrip, TextBinaryTextKeepsEveryNumber) {
    ScratchDir dir;
    macroClass built = builtSet();
    built.writeMacro(dir.file("a.mac"));
    macroClass t1;
    t1.readMacro(dir.file("a.mac"), false);
    EXPECT_TRUE(sameNumbers(built, t1));

    t1.writeMacro(dir.file("b.macb"));
    macroClass b;
    b.readMacro(dir.file("b.macb"), false);
    EXPECT_TRUE(sameNumbers(t1, b));
    b.writeMacro(dir.file("c.mac"));
    b.writeMacro(dir.file("c.macb"));
    EXPECT_EQ(readFile(dir.file("b.macb")), readFile(dir.file("c.macb")));

    macroClass t2;
    t2.readMacro(dir.file("c.mac"), false);
    EXPECT_TRUE(sameNumbers(t1, t2));
    // The vector-size line survives a text rewrite, not a binary one.
    t1.writeMacro(dir.file("d.mac"));
    EXPECT_EQ(readFile(dir.file("a.mac")), readFile(dir.file("d.mac")));
    EXPECT_STREQ(t2.header, "<VECSIZE> 39<NULLD><USER><DIAGC>");

    // Preparing either copy gives the same likelihood parameters.
    t1.readMacro(dir.file("a.mac"), true);
    b.readMacro(dir.file("b.macb"), true);
    EXPECT_TRUE(sameNumbers(t1, b));
}

TEST(MacroRoundTrip, PartialStreamsAndHandWrittenFilesRoundTrip) {
    ScratchDir dir;
    std::string body = head(2) +
                       "~h \"x\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n<NUMMIXES> 4 0\n<SWEIGHTS> 2\n 1.0 0.5\n"
                       "<STREAM> 1\n" +
                       gauss(1, 0.3, 1.0, "<RCLASS> 2\n") + gauss(2, 0.7, 2.0) + "<STREAM> 2\n" + kTrans3 +
                       "<ENDHMM>\n";
    macroClass t1;
    t1.readMacro(writeText(dir, body), false);
    t1.writeMacro(dir.file("b.macb"));
    macroClass b;
    b.readMacro(dir.file("b.macb"), false);
    b.writeMacro(dir.file("c.mac"));
    macroClass t2;
    t2.readMacro(dir.file("c.mac"), false);
    EXPECT_TRUE(sameNumbers(t1, t2));
    EXPECT_EQ(t2.model[0].state[0].stream[0].mixtureNum, 4);
    EXPECT_EQ(t2.model[0].state[0].stream[1].mixtureNum, 0);
}

TEST(MacroRoundTrip, NarrowStreamsDeclareTheirOwnWidth) {
    ScratchDir dir;
    macroClass set = builtSet();
    set.streamWidth[0] = 12;
    set.streamWidth[2] = 5;
    for (hmmModel& m : set.model)
        for (hmmState& st : m.state)
            for (int s : {0, 2})
                for (int j = 0; j < st.stream[s].mixtureNum; ++j)
                    for (int d = set.streamWidth[s]; d < 13; ++d)
                        st.stream[s].mixture[j].mean[d] = st.stream[s].mixture[j].var[d] = 0.0f;
    set.writeMacro(dir.file("n.mac"));
    EXPECT_NE(readFile(dir.file("n.mac")).find("<MEAN> 12\n"), std::string::npos);
    macroClass back;
    back.readMacro(dir.file("n.mac"), false);
    EXPECT_TRUE(sameNumbers(set, back));
}

TEST(MacroRoundTrip, WritersRefuseWhatTheReadersCouldNotReadBack) {
    ScratchDir dir;
    ConsoleCapture quiet;
    macroClass set = builtSet();
    snprintf(set.header, sizeof(set.header), "<VECSIZE>");
    EXPECT_THROW(set.writeMacro(dir.file("h.mac")), FatalError);
    snprintf(set.header, sizeof(set.header), "<VECSIZE> 39\n~h");
    EXPECT_THROW(set.writeMacro(dir.file("h.mac")), FatalError);
    set.header[0] = '\0';
    set.model[1].state[0].stream[0].mixtureNum = 1;
    set.model[1].state[0].stream[0].mixture[0].weight = 0.5f;
    EXPECT_THROW(set.writeMacro(dir.file("w.mac")), FatalError);
    set.writeMacro(dir.file("w.macb"));  // binary keeps the weight as it is

    macroClass prepared = builtSet();
    prepared.prepareModels();
    EXPECT_THROW(prepared.writeMacro(dir.file("p.mac")), FatalError);
    EXPECT_THROW(prepared.writeMacro(dir.file("p.macb")), FatalError);
    EXPECT_THROW(prepared.writeMacro(dir.file("p.txt")), FatalError);
}

// ---- preparation --------------------------------------------------------------

TEST(MacroPrepare, LogWeightsInverseVariancesAndLogTransitions) {
    macroClass set = builtSet();
    hmmMixture& g = set.model[0].state[0].stream[0].mixture[0];
    g.var[0] = 0.0f;
    g.var[1] = 1e-35f;
    g.var[2] = 1e35f;
    g.var[3] = 4.0f;
    const float gconst = g.gconst;
    const float mean = g.mean[3];
    set.model[0].state[0].stream[0].mixtureNum = 2;
    set.model[0].state[0].stream[0].mixture[1].weight = 0.0f;
    set.model[0].state[0].stream[0].mixture[0].weight = 0.25f;
    set.prepareModels();
    EXPECT_FLOAT_EQ(g.var[0], 1e30f);
    EXPECT_FLOAT_EQ(g.var[1], 1e30f);
    EXPECT_FLOAT_EQ(g.var[2], 1e-30f);
    EXPECT_FLOAT_EQ(g.var[3], 0.25f);
    EXPECT_EQ(g.var[12 + 0], static_cast<float>(1.0 / static_cast<double>(0.05f + 0.011f * 12)));
    EXPECT_FLOAT_EQ(g.weight, std::log(0.25f));
    EXPECT_EQ(set.model[0].state[0].stream[0].mixture[1].weight, -1e10f);
    EXPECT_EQ(g.gconst, gconst);
    EXPECT_EQ(g.mean[3], mean);
    const hmmModel& m = set.model[0];
    EXPECT_EQ(m.transP[0][0], 0.0f);  // zero stays zero
    EXPECT_EQ(m.transP[0][1], 0.0f);  // log 1
    EXPECT_FLOAT_EQ(m.transP[1][1], std::log(0.61f));
    // Unused slots beyond mixtureNum are untouched.
    EXPECT_EQ(m.state[0].stream[0].mixture[5].weight, 0.0f);

    macroClass twice = builtSet();
    twice.prepareModels();
    macroClass once = twice;
    twice.prepareModels();
    EXPECT_TRUE(sameNumbers(once, twice));
}

TEST(MacroPrepare, GconstMatchesTheGaussianNormaliser) {
    float var[3] = {1.0f, 2.0f, 0.5f};
    EXPECT_NEAR(macroClass::computeGconst(var, 3), 3 * std::log(2 * M_PI), 1e-5);
    EXPECT_NEAR(macroClass::computeGconst(var, 2), 2 * std::log(2 * M_PI) + std::log(2.0), 1e-5);
}

// ---- sorting and lookup ------------------------------------------------------

namespace {
macroClass namedSet(const std::vector<std::string>& names) {
    macroClass set;
    set.streamNum = 1;
    set.streamWidth[0] = 13;
    set.allocModels(static_cast<int32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        macroClass::setModelName(set.model[i], names[i]);
        set.model[i].stateNum = 3;
    }
    return set;
}
}  // namespace

TEST(MacroLookup, SortIsByteWiseAndEveryNameIsFound) {
    std::vector<std::string> names = {"b", "a-b+c", "Z", "a", "sil", "\xa7\x41", "a-b", "sp", "filler", "fillerC"};
    macroClass set = namedSet(names);
    for (size_t i = 0; i < names.size(); ++i) set.model[i].transP[2][2] = static_cast<float>(i);
    set.sortModels();
    for (int i = 0; i < set.modelNum; ++i)  // whole records move with their names
        EXPECT_EQ(names[static_cast<size_t>(set.model[i].transP[2][2])], set.model[i].name);
    std::vector<std::string> sorted;
    set.getModelNames(sorted);
    std::vector<std::string> expect = names;
    std::sort(expect.begin(), expect.end());  // std::string compares bytes as unsigned
    EXPECT_EQ(sorted, expect);
    for (size_t i = 0; i < expect.size(); ++i) EXPECT_EQ(set.findModelIndex(expect[i]), static_cast<int32_t>(i));

    // Already sorted input and a sub-range.
    macroClass big = namedSet({});
    big.allocModels(3000);
    for (int i = 0; i < 3000; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "m%05d", i < 1500 ? i : 4499 - i);
        macroClass::setModelName(big.model[i], name);
    }
    big.sortModels(1500, 2999);
    EXPECT_STREQ(big.model[1500].name, "m01500");
    EXPECT_STREQ(big.model[2999].name, "m02999");
    big.sortModels();
    EXPECT_EQ(big.findModelIndex("m02345"), 2345);
    ConsoleCapture quiet;
    EXPECT_THROW(big.sortModels(0, 3000), FatalError);
}

TEST(MacroLookup, SubstitutionPrefersSilThenAnySameLeftContext) {
    macroClass set = namedSet({"a", "a-b+c", "a-b+d", "a-b+sil", "a-b+silx"});
    set.sortModels();
    EXPECT_EQ(std::string(set.model[set.findModelIndex("a-b+x")].name), "a-b+sil");

    macroClass noSil = namedSet({"z", "a-b+d", "a-b+c"});
    noSil.sortModels();
    EXPECT_EQ(std::string(noSil.model[noSil.findModelIndex("a-b+x")].name), "a-b+c");
    macroClass onlySilx = namedSet({"a-b+c", "a-b+silx"});
    onlySilx.sortModels();
    EXPECT_EQ(std::string(onlySilx.model[onlySilx.findModelIndex("a-b+x")].name), "a-b+silx");
    EXPECT_EQ(noSil.findModelIndex("q-r+s"), 0);

    for (const char* special : {"sp", "sil", "filler", "fillerC", "fillerV"}) EXPECT_EQ(noSil.findModelIndex(special), -1);
    ConsoleCapture quiet;
    try {
        noSil.findModelIndex("abc");
        ADD_FAILURE() << "abc was accepted";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "Error in macroClass::findSubstituteModel(): Cannot find '+' sign, modelStr=abc (line ", 0),
                  0u);
    }
    macroClass empty;
    EXPECT_EQ(empty.findModelIndex("a-b+c"), -1);
}
