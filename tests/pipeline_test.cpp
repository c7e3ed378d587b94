#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "engine/utility.h"
#include "quorvane.h"
#include "support/testutil.h"
#include "world/tinyWorld.h"

using namespace qvworld;
using qvtest::ScratchDir;
namespace fs = std::filesystem;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Captures the engine's console lines for one run.
struct Console {
    std::string text;
    Console() {
        quorvane::setLogSink([this](const std::string& s) { text += s; });
    }
    ~Console() { quorvane::setLogSink(nullptr); }
};

const std::string kOneTwoThree = std::string(kOne) + kTwo + kThree;
const std::string kThreeOneTwo = std::string(kThree) + kOne + kTwo;
const std::string kTwoThreeOne = std::string(kTwo) + kThree + kOne;

struct World {
    ScratchDir dir;
    std::string prm = buildTinyWorld(dir.path());
    std::vector<Segment> segments;
    Console console;

    std::string out(const std::string& name) const { return dir.file("out/" + name); }

    quorvane::Result run(const std::vector<std::string>& spoken, const std::string& expectedLines, Pairs more = {}) {
        segments.clear();
        writeWav(dir.file("utt.wav"), synthUtterance(spoken, &segments));
        qvtest::writeFile(dir.file("expected.txt"), expectedLines);
        quorvane::Request req;
        req.paramFile = prm;
        req.overrides = {{"txtFile", dir.file("expected.txt")}};
        req.overrides.insert(req.overrides.end(), more.begin(), more.end());
        console.text.clear();
        return quorvane::run(req);
    }
};

struct LabLine {
    int start, end;
    std::string name;
};

std::vector<LabLine> readLab(const std::string& path) {
    std::vector<LabLine> out;
    std::istringstream in(qvtest::readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        long long s, e;
        std::string name;
        if (f >> s >> e >> name) out.push_back({static_cast<int>(s / 100000), static_cast<int>(e / 100000), name});
    }
    return out;
}

}  // namespace

TEST(PipelineAssess, CorrectReadingScoresHighAndAlignsWithTheSounds) {
    World w;
    quorvane::Result r = w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n");
    EXPECT_GT(r.finalScore, 90) << w.console.text;
    EXPECT_EQ(r.textIndex, 0);
    EXPECT_EQ(r.hanyu, "ba1-sp-di2-sp-gu3");
    EXPECT_EQ(r.mpa, "BA1-sp-DI2-sp-GU3");
    EXPECT_EQ(r.tone, "1-2-3");
    ASSERT_EQ(r.discounts.size(), 7u);
    for (int d : r.discounts) EXPECT_EQ(d, 0);

    // Every phone of phone.lab lies where its sound was placed, within two frames.
    std::vector<LabLine> lab = readLab(w.out("phone.lab"));
    size_t k = 0;
    for (const Segment& s : w.segments) {
        if (s.phone == "sil" || s.phone == "sp") continue;
        while (k < lab.size() && lab[k].name != s.phone) ++k;
        ASSERT_LT(k, lab.size()) << s.phone;
        EXPECT_NEAR(lab[k].start, s.begin / 160, 2) << s.phone;
        EXPECT_NEAR(lab[k].end, s.end / 160, 2) << s.phone;
        ++k;
    }
    // The syllables carry their characters and time-ordered phones.
    int scored = 0;
    for (const auto& syl : r.syllables) {
        if (syl.name == "sil" || syl.name == "sp") continue;
        ++scored;
        EXPECT_EQ(syl.text.size(), 2u);
        EXPECT_EQ(syl.phones.size(), 2u);
        EXPECT_GT(syl.score, 80);
    }
    EXPECT_EQ(scored, 3);
}

TEST(PipelineAssess, WrongReadingScoresLow) {
    World w;
    const float good = w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n").finalScore;
    const float bad = w.run({"gu3", "ba1", "di2"}, kOneTwoThree + "\n").finalScore;
    EXPECT_GT(good, 90);
    EXPECT_LT(bad, 50) << w.console.text;
}

// A "syl2" syllable file lists the designated reading first and confusable
// readings after it. When the speaker takes a confusable one, the report
// names the swapped syllables and the designated syllable is realigned over
// the frames of the spoken one, so it is scored as what should have been said.
TEST(PipelineAssess, ConfusingPathIsReportedAndRealigned) {
    World w;
    const std::string lines = "ba1-di2-gu3\t0\nba1-gu3-gu3\t0\n";
    qvtest::writeFile(w.dir.file("cands.syl"), lines);
    qvtest::writeFile(w.dir.file("cands.syl2"), lines);
    const std::vector<std::string> spoken = {"ba1", "gu3", "gu3"};

    // The plain syllable file: the path taken stays as recognised, no report.
    quorvane::Result plain = w.run(spoken, kOneTwoThree + "\n", {{"sylFile", w.dir.file("cands.syl")}});
    EXPECT_EQ(qvtest::readFile(w.out("confusingPath.txt")), "");
    EXPECT_EQ(w.console.text.find("(Check if a confusing path"), std::string::npos);
    std::vector<quorvane::Syllable> plainSyl;
    for (const auto& s : plain.syllables)
        if (s.name != "sil" && s.name != "sp") plainSyl.push_back(s);
    ASSERT_EQ(plainSyl.size(), 3u) << w.console.text;
    EXPECT_EQ(plainSyl[1].name, "gu3");

    quorvane::Result r = w.run(spoken, kOneTwoThree + "\n", {{"sylFile", w.dir.file("cands.syl2")}});
    // The note is in Big5: "檢查是否走到混淆路徑".
    EXPECT_NE(w.console.text.find("\xc0\xcb\xac\x64\xac\x4f\xa7\x5f\xa8\xab\xa8\xec\xb2\x56\xb2\x63\xb8\xf4\xae\x7c"
                                  " (Check if a confusing path is taken instead of the correct one)\n"),
              std::string::npos)
        << w.console.text;
    EXPECT_EQ(qvtest::readFile(w.out("confusingPath.txt")),
              "Designated: ba1-sp-di2-sp-gu3\nIdentified: ba1-sp-gu3-sp-gu3\ngu3 ===> di2\n");
    EXPECT_EQ(r.hanyu, "ba1-sp-gu3-sp-gu3");  // the recognised path itself is reported unchanged

    std::vector<quorvane::Syllable> syl;
    for (const auto& s : r.syllables)
        if (s.name != "sil" && s.name != "sp") syl.push_back(s);
    ASSERT_EQ(syl.size(), 3u);
    EXPECT_EQ(syl[0].name, "ba1");
    EXPECT_EQ(syl[1].name, "di2");
    EXPECT_EQ(syl[2].name, "gu3");
    // The realigned syllable stays within the frames of the one it replaces,
    // carries its own phones there, and its poor match shows in its score.
    EXPECT_GE(syl[1].startFrame, plainSyl[1].startFrame);
    EXPECT_LE(syl[1].endFrame, plainSyl[1].endFrame);
    ASSERT_EQ(syl[1].phones.size(), 2u);
    EXPECT_EQ(syl[1].phones[0].name, "d+i");
    EXPECT_EQ(syl[1].phones[1].name, "i2");
    EXPECT_EQ(syl[1].phones[0].startFrame, syl[1].startFrame);
    EXPECT_EQ(syl[1].phones[1].endFrame, syl[1].endFrame);
    EXPECT_EQ(syl[1].text, kTwo);
    EXPECT_GT(syl[0].score, 80);
    EXPECT_GT(syl[2].score, 80);
    EXPECT_LT(syl[1].score, 50);
    EXPECT_LT(r.finalScore, plain.finalScore);
}

TEST(PipelineRecog, FindsTheSpokenSentence) {
    World w;
    const std::string three = kOneTwoThree + "\n" + kThreeOneTwo + "\n" + kTwoThreeOne + "\n";
    for (int spoken = 0; spoken < 3; ++spoken) {
        std::vector<std::vector<std::string>> syl = {{"ba1", "di2", "gu3"}, {"gu3", "ba1", "di2"}, {"di2", "gu3", "ba1"}};
        quorvane::Result r = w.run(syl[static_cast<size_t>(spoken)], three, {{"function", "recog"}});
        EXPECT_EQ(r.textIndex, spoken) << w.console.text;
        ASSERT_EQ(r.texts.size(), 1u);
    }
}

TEST(PipelineRecog, KeywordSpottingReportsTheKeyword) {
    World w;
    quorvane::Result r = w.run({"ba1", "di2", "gu3"}, kTwo + std::string("\n"),
                               {{"function", "recog"}, {"comparisonMode", "3"}});
    EXPECT_EQ(r.textIndex, 0) << w.console.text;
    EXPECT_NE(w.console.text.find("keyword[0]:\n\tname="), std::string::npos) << w.console.text;
    EXPECT_NE(w.console.text.find("\tdi2 \n"), std::string::npos) << w.console.text;
    // The keyword's score is its syllable's: the filler after it has no score.
    const quorvane::Syllable* di = nullptr;
    for (const auto& s : r.syllables)
        if (s.name == "di2") di = &s;
    ASSERT_NE(di, nullptr);
    const size_t at = w.console.text.find("\tscore=");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::atof(w.console.text.c_str() + at + 7), di->score, 1e-3) << w.console.text;
}

// Two sentences that share their first syllable, spoken with a pause before
// the syllable where they part. The recognition network holds no pause
// model, so the first phones of both branches take the pause frames; g+u
// takes them better than d+i or a1, and after the third pause frame the
// spoken branch and the a1 candidates that could still enter it are more than
// the beam (probTh 500) behind the wrong branch (about 640 and 570) and are
// pruned. A wider beam, a shorter pause or a pause model between the
// syllables keeps the spoken sentence, with the score it has alone.
TEST(PipelineRecog, PauseBeforeTheBranchAgainstTheBeam) {
    World w;
    qvtest::writeFile(w.dir.file("tiny.pam"),
                      "% syllable\tmodels\nba1\tb+a a1\ndi2\td+i i2\nfiller\tfiller\nfillerC\tfillerC\n"
                      "fillerV\tfillerV\ngi2\tg+u i2\ngu3\tg+u u3\nsil\tsil\nsp\tsp\n");
    auto recog = [&](const std::string& sylLines, int gapMs, const std::string& probTh) {
        writeWav(w.dir.file("utt.wav"), synthUtterance({"ba1", "di2", "gu3"}, nullptr, 150, gapMs));
        std::string txt;
        for (char c : sylLines)
            if (c == '\n') txt += kOneTwoThree + "\n";
        qvtest::writeFile(w.dir.file("expected.txt"), txt);
        qvtest::writeFile(w.dir.file("s.syl"), sylLines);
        quorvane::Request req;
        req.paramFile = w.prm;
        req.overrides = {{"txtFile", w.dir.file("expected.txt")}, {"sylFile", w.dir.file("s.syl")},
                         {"function", "recog"}, {"probTh", probTh}};
        w.console.text.clear();
        return quorvane::run(req);
    };
    const std::string both = "ba1-di2-gu3\t0\nba1-gi2-gu3\t1\n";
    const quorvane::Result alone = recog("ba1-di2-gu3\t0\n", 40, "500");
    ASSERT_EQ(alone.recognized, "ba1-di2-gu3") << w.console.text;

    const quorvane::Result lost = recog(both, 40, "500");
    EXPECT_EQ(lost.textIndex, 1) << w.console.text;
    EXPECT_EQ(lost.recognized, "ba1-gi2-gu3");
    EXPECT_LT(lost.logProb, alone.logProb - 10000);
    // The tree shares ba1 and parts after it; no listed path went through di2.
    const std::string net = qvtest::readFile(w.out("output.net"));
    EXPECT_NE(net.find("W=di2@"), std::string::npos) << net;
    EXPECT_NE(net.find("W=gi2@"), std::string::npos) << net;
    const std::string paths = qvtest::readFile(w.out("arenaSylPath.txt"));
    ASSERT_NE(paths.find("sil-ba1-gi2-gu3"), std::string::npos) << paths;
    EXPECT_EQ(paths.find("di2"), std::string::npos) << paths;

    const quorvane::Result wide = recog(both, 40, "1000");
    EXPECT_EQ(wide.textIndex, 0) << w.console.text;
    EXPECT_NEAR(wide.logProb, alone.logProb, 1e-3);

    const quorvane::Result shortPause = recog(both, 30, "500");
    EXPECT_EQ(shortPause.textIndex, 0) << w.console.text;
    EXPECT_NEAR(shortPause.logProb, recog("ba1-di2-gu3\t0\n", 30, "500").logProb, 1e-3);

    const quorvane::Result padded = recog("ba1-sp-di2-sp-gu3\t0\nba1-sp-gi2-sp-gu3\t1\n", 40, "500");
    EXPECT_EQ(padded.textIndex, 0) << w.console.text;
    EXPECT_EQ(padded.recognized, "ba1-sp-di2-sp-gu3");
}

TEST(PipelineFiles, DiagnosticFilesAppearExactlyWhenTheyShould) {
    World w;
    w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n");
    const std::vector<std::string> always = {
        "waveVolumeCheck.txt", "output.nt",     "output.syl",        "output.net",     "output.wpa",
        "output.fea",          "arenaSylPath.txt", "confusingPath.txt", "modelStrVec.txt", "phone.lab",
        "phone.cm",            "cm.xml",        "phone.plp",         "phone.cmd",      "discountFactor.txt",
        "weightedRank.txt",    "origScore.txt", "finalScore.txt",    "recogResult.txt"};
    for (const auto& f : always) EXPECT_TRUE(qvtest::exists(w.out(f))) << f;
    for (const auto& f : {"output.dic", "pitch.txt", "volume.txt"}) EXPECT_FALSE(qvtest::exists(w.out(f))) << f;
    EXPECT_EQ(qvtest::readFile(w.out("confusingPath.txt")), "");  // no syl2 file
    EXPECT_EQ(qvtest::readFile(w.out("discountFactor.txt")), "0\n0\n0\n0\n0\n0\n0\n");
    const std::string summary = qvtest::readFile(w.out("recogResult.txt"));
    EXPECT_EQ(summary.rfind("Text index=0\nText=" + kOneTwoThree + "\nScore=", 0), 0u);
    EXPECT_NE(summary.find("\nHanYu=ba1-sp-di2-sp-gu3\nTone=1-2-3\nLogProb="), std::string::npos);

    // A network read from a file is not written again, and no generation line appears.
    fs::rename(w.out("output.net"), w.dir.file("given.net"));
    w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n", {{"netFile", w.dir.file("given.net")}, {"getPitch", "1"}});
    EXPECT_FALSE(qvtest::exists(w.out("output.net")));
    EXPECT_EQ(w.console.text.find("Generated tree net"), std::string::npos);
    EXPECT_NE(w.console.text.find("sec: Read net \"" + w.dir.file("given.net") + "\" (nodeNum="), std::string::npos);
    EXPECT_TRUE(qvtest::exists(w.out("output.wpa")));
    EXPECT_TRUE(qvtest::exists(w.out("pitch.txt")));
    EXPECT_TRUE(qvtest::exists(w.out("volume.txt")));
}

TEST(PipelineFiles, EmptyOutputDirWritesNothingButStillReports) {
    World w;
    fs::remove_all(w.dir.file("out"));
    quorvane::Result r = w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n", {{"outputDir", ""}, {"getPitch", "1"}});
    EXPECT_GT(r.finalScore, 90);
    EXPECT_FALSE(qvtest::exists(w.dir.file("out")));
    EXPECT_FALSE(qvtest::exists("/pitch.txt"));
    EXPECT_EQ(w.console.text.find("===> Saved"), std::string::npos);
    for (const char* line : {"sec: Read wave file", "sec: Read macro", "sec: Generated tree net", "sec: EPD\n",
                             "sec: Compute MFCC", "sec: Viterbi search\n", "sec: Compute volume\n",
                             "sec: Compute the score (Score="})
        EXPECT_NE(w.console.text.find(line), std::string::npos) << line;
}

TEST(PipelineFiles, ConsoleLinesOfTheRunInOrder) {
    World w;
    w.run({"ba1", "di2", "gu3"}, kOneTwoThree + "\n", {{"useEpd", "0"}});
    const std::string& c = w.console.text;
    size_t pos = 0;
    for (const char* line : {"sec: Read wave file", "sec: Read macro", "(modelNum=11)\n", "sec: Read pam",
                             "(m_pronDict.size()=8)\n", "sec: Read pinyinTable", "sec: Read wpa",
                             "sec: Read text normalization mapping file", "sec: Read text \"",
                             "sec: text normalization (m_txtVsNormalized.size()=1)\n",
                             "sec: Texts to phonetic alphabets by exhaustive listing\n",
                             "\tNo. of text entries = 1, no. of PA entries = 1\n", "sec: Generated tree net (nodeNum=",
                             "\t===> Saved net file: ", "\t===> Saved wap file ", "sec: EPD\n",
                             "\twaveBeginIndex=0, waveEndIndex=", "\twaveBeginFrameId=0, waveEndFrameId=",
                             "sec: Compute MFCC (cfgFile=", "sec: Viterbi search\n", "\ttextIndex=0 ===> ",
                             "\tsylIndex[0]=0 ===> ba1-sp-di2-sp-gu3\t0\n", "sec: Compute volume\n",
                             "\tFind the phone ranking...\n", "\tCompute possible score discount factors...\n",
                             "sec: Compute the score (Score=", "recogResult.txt\n"}) {
        size_t at = c.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << c;
        pos = at;
    }
}

TEST(PipelineErrors, BadSettingsAndInputStopTheRunWithAClearMessage) {
    World w;
    auto message = [&](const Pairs& more, std::vector<std::string> spoken = {"ba1"}) {
        try {
            w.run(spoken, std::string(kOne) + "\n", more);
        } catch (const quorvane::Error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({{"tnmFile", ""}}).rfind("Error: recogParam.tnmFile is not specified! (line ", 0), 0u);
    EXPECT_EQ(message({{"function", "score"}}).rfind("Unknown recogParam.function = score!", 0), 0u);
    EXPECT_NE(message({{"maxCandidateNum", "0"}}).find("candidateNum=0"), std::string::npos);
    EXPECT_NE(message({{"Function", "assess"}}).find("unknown key = Function"), std::string::npos);
    EXPECT_NE(message({{"wavFile", w.dir.file("missing.wav")}}), "no error");
    // Speech longer than the frame limit is told in seconds (a 1-sample hop
    // reaches the limit within two seconds).
    qvtest::writeFile(w.dir.file("dense.cfg"), "TARGETKIND = MFCC_E_D_A\nTARGETRATE = 625\nWINDOWSIZE = 1250\n");
    const std::string tooLong = message({{"featureConfigFile", w.dir.file("dense.cfg")}}, {"ba1", "di2", "gu3"});
    EXPECT_NE(tooLong.find(" s (24000 frames) one run can assess"), std::string::npos) << tooLong;

    qvtest::writeFile(w.dir.file("expected.txt"), "\xA4\x40\n");
    writeWav(w.dir.file("short.wav"), std::vector<int32_t>(200, 5));
    quorvane::Request req;
    req.paramFile = w.prm;
    req.overrides = {{"txtFile", w.dir.file("expected.txt")}, {"wavFile", w.dir.file("short.wav")}};
    EXPECT_THROW(quorvane::run(req), quorvane::Error);
}

TEST(RecogTool, PrintsTheScoreAndExitsByOutcome) {
    World w;
    writeWav(w.dir.file("utt.wav"), synthUtterance({"ba1", "di2", "gu3"}));
    const std::string tool = std::string(QV_BINARY_DIR) + "/quorvane-recog";
    const std::string outFile = w.dir.file("stdout.txt"), errFile = w.dir.file("stderr.txt");
    auto runTool = [&](const std::string& args) {
        const std::string cmd = tool + " " + w.prm + " " + args + " >" + outFile + " 2>" + errFile;
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(runTool(""), 0);
    std::string out = qvtest::readFile(outFile);
    ASSERT_GT(out.size(), 8u);
    const size_t last = out.rfind("Score=");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(out.find('\n', last), out.size() - 1);  // the score is the last line
    EXPECT_GT(std::atof(out.c_str() + last + 6), 90.0);

    EXPECT_EQ(runTool("nosuchkey=1"), 1);
    EXPECT_NE(qvtest::readFile(errFile).find("unknown key = nosuchkey"), std::string::npos);
    EXPECT_EQ(runTool("useEpd"), 2);
}
