// The user's command-line tool, run as a subprocess on the tiny synthetic
// world laid out like the shipped data folder; and its UTF-8/Big5 helper.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>
#include <sys/wait.h>

#include <sndfile.h>

#include "support/testutil.h"
#include "platform/codePage.h"
#include "world/tinyWorld.h"

using nlohmann::json;
using qvtest::ScratchDir;
namespace fs = std::filesystem;

namespace {

// UTF-8 forms of the tiny world's characters.
const std::string kOne = "\xE4\xB8\x80";    // 一
const std::string kTwo = "\xE4\xBA\x8C";    // 二
const std::string kThree = "\xE4\xB8\x89";  // 三
const std::string kFour = "\xE5\x9B\x9B";   // 四: Big5, but not in the tiny word table

struct ToolRun {
    int rc = -1;
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The tiny world in <scratch>/telvoDataChinese with a chinese.sa.prm whose
// paths are relative to <scratch>, as in the installation folder.
struct ToolWorld {
    ScratchDir dir;
    std::string data = dir.file("telvoDataChinese");
    std::vector<qvworld::Segment> segments;

    ToolWorld() {
        qvworld::buildTinyWorld(data);
        const std::string d = "telvoDataChinese/";
        qvtest::writeFile(data + "/chinese.sa.prm",
                          "% tiny data set\nlanguage = chinese\nfunction = assess\n"
                          "macFile = " + d + "tiny.macb\npinyinType = hanyu\ndicFile = " + d + "tiny.pam\n"
                          "wpaFile = " + d + "tiny.wpa\npyTableFile = " + d + "pinyin.txt\n"
                          "qiYinFile = " + d + "qiyin.txt\ntnmFile = " + d + "tiny.tnm\n"
                          "featureConfigFile = " + d + "mfcc.cfg\noutputDir = " + d + "out\n"
                          "phoneRank2scoreParamFile = " + d + "rank2score.prm\n"
                          "scoreDiscountParamFile = " + d + "discount.prm\n"
                          "usePaddedHardSp = 1   % sp between syllables\nusePaddedSoftSil = 1\nuseEpd = 0\n"
                          "netType = 0\nmaxCandidateNum = 200\nprobTh = 500\ncomparisonMode = 1\nuseWaveReject = 0\n");
        fs::remove_all(data + "/out");  // the tool must not need it
        utterance("utt.wav", {"ba1", "di2", "gu3"});
    }

    std::string utterance(const std::string& name, const std::vector<std::string>& syllables) {
        segments.clear();
        qvworld::writeWav(dir.file(name), qvworld::synthUtterance(syllables, &segments));
        return dir.file(name);
    }

    // Runs the tool in `cwd` (default: the scratch folder) with `args`, which
    // are quoted for the shell one by one.
    ToolRun tool(const std::vector<std::string>& args, const std::string& cwd = "", const std::string& env = "") const {
        std::string cmd = "cd " + quote(cwd.empty() ? dir.path() : cwd) + " && " + env + " " + quote(QV_BINARY_DIR "/quorvane");
        for (const auto& a : args) cmd += " " + quote(a);
        cmd += " >" + quote(dir.file("stdout.txt")) + " 2>" + quote(dir.file("stderr.txt"));
        const int status = std::system(cmd.c_str());
        ToolRun r;
        r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = qvtest::readFile(dir.file("stdout.txt"));
        r.err = qvtest::readFile(dir.file("stderr.txt"));
        return r;
    }

    ToolRun assess(const std::string& text, std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"assess", dir.file("utt.wav"), "--text", text, "--data", data};
        args.insert(args.end(), more.begin(), more.end());
        return tool(args);
    }
};

// One line on stderr that starts with the tool's name and contains `needle`.
void expectOneLine(const ToolRun& r, int rc, const std::string& needle) {
    EXPECT_EQ(r.rc, rc) << r.err;
    EXPECT_EQ(r.err.rfind("quorvane: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace

// ---- UTF-8 <-> Big5 -----------------------------------------------------------

TEST(Big5, ConvertsBothWays) {
    EXPECT_EQ(qv::utf8ToBig5(kOne + kTwo + kThree), "\xA4\x40\xA4\x47\xA4\x54");
    EXPECT_EQ(qv::utf8ToBig5("ab, \xEF\xBC\x8C"), "ab, \xA1\x41");  // ASCII stays, full-width comma
    const std::string zhuyin = "\xE3\x84\x8B\xE3\x84\xA7\xCB\x87";       // ㄋㄧˇ
    EXPECT_EQ(qv::big5ToUtf8(qv::utf8ToBig5(zhuyin)), zhuyin);
    EXPECT_EQ(qv::utf8ToBig5(""), "");
}

TEST(Big5, NamesTheCharacterWithoutBig5Form) {
    const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600
    try {
        qv::utf8ToBig5(kOne + smile + kTwo);
        FAIL() << "no error";
    } catch (const qv::Big5Error& e) {
        EXPECT_EQ(e.offending(), smile);
        EXPECT_NE(std::string(e.what()).find("U+1F600"), std::string::npos) << e.what();
    }
    // Malformed UTF-8 is reported as bytes, not as a character.
    try {
        qv::utf8ToBig5("a\xE4\xB8");
        FAIL() << "no error";
    } catch (const qv::Big5Error& e) {
        EXPECT_NE(std::string(e.what()).find("not valid UTF-8"), std::string::npos) << e.what();
    }
}

TEST(Big5, InvalidBig5) {
    EXPECT_THROW(qv::big5ToUtf8("\xA4\x40\xFF"), qv::Big5Error);
    EXPECT_EQ(qv::big5ToUtf8Lenient("\xA4\x40\xFF" "a"), kOne + "\\xFFa");
}

// ---- assess ---------------------------------------------------------------------

TEST(ToolAssess, JsonReportOfACorrectReading) {
    ToolWorld w;
    const ToolRun r = w.assess(kOne + kTwo + kThree, {"--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");  // the engine's lines are silenced
    const json j = json::parse(r.out);
    EXPECT_GT(j["score"].get<double>(), 90);
    ASSERT_EQ(j["scores"].size(), 3u);
    ASSERT_EQ(j["origScores"].size(), 3u);
    EXPECT_DOUBLE_EQ(j["scores"][1].get<double>(), j["score"].get<double>());
    ASSERT_EQ(j["discounts"].size(), 7u);
    EXPECT_EQ(j["discounts"][0]["reason"], "Incomplete Viterbi search path");
    EXPECT_EQ(j["discounts"][6]["reason"], "Volume of sil too large");
    for (const auto& d : j["discounts"]) EXPECT_EQ(d["count"], 0);
    EXPECT_EQ(j["recognized"]["hanyu"], "ba1-sp-di2-sp-gu3");
    EXPECT_EQ(j["recognized"]["mpa"], "BA1-sp-DI2-sp-GU3");
    EXPECT_EQ(j["text"], kOne + kTwo + kThree);

    // Three syllables where the sounds were placed (the synthetic utterance's
    // segments come in phone order: sil, b+a, a1, ..., sil).
    const auto& syls = j["syllables"];
    ASSERT_EQ(syls.size(), 3u);
    const std::vector<std::string> texts = {kOne, kTwo, kThree}, names = {"ba1", "di2", "gu3"};
    std::vector<qvworld::Segment> phones;
    for (const auto& s : w.segments)
        if (s.phone != "sil" && s.phone != "sp") phones.push_back(s);
    ASSERT_EQ(phones.size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        const auto& s = syls[i];
        EXPECT_EQ(s["text"], texts[i]);
        EXPECT_EQ(s["pinyin"], names[i]);
        EXPECT_EQ(s["zhuyin"], qv::big5ToUtf8(names[i] == "ba1" ? "BA1" : names[i] == "di2" ? "DI2" : "GU3"));
        EXPECT_NEAR(s["start"].get<double>(), phones[2 * i].begin / 16000.0, 0.03);
        EXPECT_NEAR(s["end"].get<double>(), phones[2 * i + 1].end / 16000.0, 0.03);
        EXPECT_GT(s["score"].get<double>(), 80);
        ASSERT_EQ(s["phones"].size(), 2u);
        EXPECT_EQ(s["phones"][0]["start"], s["start"]);
        EXPECT_EQ(s["phones"][1]["end"], s["end"]);
        EXPECT_EQ(s["phones"][0]["end"], s["phones"][1]["start"]);
        for (const auto& p : s["phones"]) {
            EXPECT_EQ(p["rankRatio"], 0.0) << p;
            ASSERT_FALSE(p["competitors"].empty());
            EXPECT_EQ(p["competitors"][0], p["name"]);  // best first, and it is the own model
        }
        if (i > 0) {
            EXPECT_GE(s["start"].get<double>(), syls[i - 1]["end"].get<double>());
        }
    }
}

// Scores within 0.5, times within one frame; everything else exact.
void expectSameDocument(const json& a, const json& b, const std::string& at) {
    if (b.is_number() && a.is_number()) {
        const auto endsWith = [&](const char* k) {
            const std::string key(k);
            return at.size() >= key.size() && at.compare(at.size() - key.size(), key.size(), key) == 0;
        };
        EXPECT_NEAR(a.get<double>(), b.get<double>(), endsWith(".start") || endsWith(".end") ? 0.0101 : 0.5) << at;
    } else if (b.is_object() && a.is_object()) {
        EXPECT_EQ(a.size(), b.size()) << at;
        for (auto it = b.begin(); it != b.end(); ++it) {
            ASSERT_TRUE(a.contains(it.key())) << at << "." << it.key();
            expectSameDocument(a[it.key()], it.value(), at + "." + it.key());
        }
    } else if (b.is_array() && a.is_array()) {
        ASSERT_EQ(a.size(), b.size()) << at;
        for (size_t i = 0; i < b.size(); ++i) expectSameDocument(a[i], b[i], at + "[" + std::to_string(i) + "]");
    } else {
        EXPECT_EQ(a, b) << at;
    }
}

TEST(ToolAssess, MatchesTheGoldenDocuments) {
    // tests/data/usertool/: the tool's --json output for the tiny world's
    // seed-1 utterances (see the README beside them).
    ToolWorld w;
    for (const auto& c : {std::make_pair(std::vector<std::string>{"ba1", "di2", "gu3"}, "assess_tiny.json"),
                          std::make_pair(std::vector<std::string>{"gu3", "ba1", "di2"}, "assess_tiny_wrong.json")}) {
        w.utterance("utt.wav", c.first);
        const ToolRun r = w.assess(kOne + kTwo + kThree, {"--json"});
        ASSERT_EQ(r.rc, 0) << r.err;
        expectSameDocument(json::parse(r.out), json::parse(qvtest::readFile(qvtest::dataPath(std::string("usertool/") + c.second))),
                           c.second);
    }
}

TEST(ToolAssess, ReadableReportAndVerboseEngineLines) {
    ToolWorld w;
    ToolRun r = w.assess(kOne + "\xEF\xBC\x8C" + kTwo + kThree);  // a full-width comma is dropped
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Score: ", 0), 0u) << r.out;
    // The three scores are named as in the result record.
    EXPECT_NE(r.out.find("\nScores (finalScores): rank "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", model rank "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nBefore discounts (origScores): rank "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Discounts: none\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  " + kOne + "  ba1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  " + kThree + "  gu3"), std::string::npos) << r.out;

    r = w.assess(kOne + kTwo + kThree, {"--verbose"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("sec: Viterbi search\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("sec:"), std::string::npos) << r.out;
}

TEST(ToolAssess, WrongReadingScoresLowWithItsDiscounts) {
    ToolWorld w;
    w.utterance("utt.wav", {"gu3", "ba1", "di2"});
    const ToolRun r = w.assess(kOne + kTwo + kThree);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("Discounts:\n  Incomplete Viterbi search path: 1\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("over-short"), std::string::npos) << r.out;  // counts of 0 are left out
    EXPECT_LT(std::stod(r.out.substr(7)), 50) << r.out;
}

TEST(ToolAssess, PinyinSettlesTheSyllables) {
    ToolWorld w;
    ToolRun r = w.assess(kOne + kTwo + kThree, {"--pinyin", "BA1-di2 gu3", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["recognized"]["hanyu"], "ba1-sp-di2-sp-gu3");
    // The tones come from the given syllables as they do from the word table.
    EXPECT_EQ(json::parse(r.out)["tone"], "1-2-3");
    r = w.tool({"recog", "utt.wav", "--data", w.data, "--text", kOne + kTwo + kThree, "--text", kThree, "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["tone"], "1-2-3");

    expectOneLine(w.assess(kOne + kTwo + kThree, {"--pinyin", "ba1 di2"}), 2, "2 syllable(s) for 3 character(s)");
    expectOneLine(w.assess(kOne + kTwo + kThree, {"--pinyin", "ba1 di2 zz9"}), 6, "unknown syllable \"zz9\"");
}

TEST(ToolAssess, OutputFolderKeepsTheDiagnosticFiles) {
    ToolWorld w;
    const std::string out = w.dir.file("diag");
    const ToolRun r = w.assess(kOne + kTwo + kThree, {"--out", out});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(qvtest::readFile(out + "/sentence.txt"), "\xA4\x40\xA4\x47\xA4\x54\n");  // Big5
    EXPECT_EQ(qvtest::readFile(out + "/waveVolumeCheck.txt"), "Normal volume.\n");
    EXPECT_TRUE(qvtest::exists(out + "/finalScore.txt"));
    EXPECT_FALSE(qvtest::exists(w.data + "/out"));
}

TEST(ToolAssess, LeavesNoFilesBehind) {
    ToolWorld w;
    const std::string tmp = w.dir.file("tmp");
    fs::create_directories(tmp);
    const std::string env = "TMPDIR=" + quote(tmp) + " temp=" + quote(tmp);
    const auto listing = [&](const std::string& dir) {
        std::string names;
        for (const auto& e : fs::directory_iterator(dir)) names += e.path().filename().string() + " ";
        return names;
    };
    const std::string text = kOne + kTwo + kThree;
    EXPECT_EQ(w.tool({"assess", "utt.wav", "--text", text, "--data", w.data}, "", env).rc, 0);
    const std::string before = listing(w.dir.path());  // with the test's own stdout.txt and stderr.txt
    qvtest::writeFile(w.dir.file("bad.wav"), "RIFF....WAVEfmt ");
    EXPECT_NE(w.tool({"assess", "bad.wav", "--text", text, "--data", w.data}, "", env).rc, 0);
    EXPECT_EQ(listing(tmp), "");
    fs::remove(w.dir.file("bad.wav"));
    EXPECT_EQ(listing(w.dir.path()), before);
    EXPECT_FALSE(qvtest::exists(w.data + "/out"));
}

// The TextGrid as Praat itself reads it (headless, a script that lists every
// interval): the tiers cover the whole recording, and every aligned syllable,
// its characters and its phones have the JSON document's times and labels.
TEST(ToolAssess, TextGridReadByPraatHasTheDocumentsTimes) {
    if (std::system("command -v praat >/dev/null 2>&1") != 0) GTEST_SKIP() << "praat is not installed (scripts/setup installs it)";
    ToolWorld w;
    const ToolRun r = w.assess(kOne + kTwo + kThree, {"--json", "--textgrid", w.dir.file("a b.TextGrid")});
    ASSERT_EQ(r.rc, 0) << r.err;
    const json j = json::parse(r.out);
    qvtest::writeFile(w.dir.file("dump.praat"),
                      "form Dump\n    sentence file\nendform\n"
                      "Read from file: file$\n"
                      "xmax = Get end time\n"
                      "writeInfoLine: \"xmax\", tab$, fixed$(xmax, 9)\n"
                      "tiers = Get number of tiers\n"
                      "for t to tiers\n"
                      "  name$ = Get tier name: t\n"
                      "  n = Get number of intervals: t\n"
                      "  for i to n\n"
                      "    a = Get start time of interval: t, i\n"
                      "    b = Get end time of interval: t, i\n"
                      "    label$ = Get label of interval: t, i\n"
                      "    appendInfoLine: name$, tab$, fixed$(a, 9), tab$, fixed$(b, 9), tab$, label$\n"
                      "  endfor\n"
                      "endfor\n");
    const std::string cmd = "praat --run " + quote(w.dir.file("dump.praat")) + " " + quote(w.dir.file("a b.TextGrid")) +
                            " >" + quote(w.dir.file("praat.txt")) + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << qvtest::readFile(w.dir.file("praat.txt"));

    std::map<std::string, std::vector<std::tuple<double, double, std::string>>> tiers;
    double xmax = -1;
    std::istringstream in(qvtest::readFile(w.dir.file("praat.txt")));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        for (size_t a = 0, b; a <= line.size(); a = b + 1) {
            b = line.find('\t', a);
            if (b == std::string::npos) b = line.size();
            f.push_back(line.substr(a, b - a));
        }
        if (f.size() == 2 && f[0] == "xmax") xmax = std::stod(f[1]);
        if (f.size() == 4) tiers[f[0]].emplace_back(std::stod(f[1]), std::stod(f[2]), f[3]);
    }
    EXPECT_NEAR(xmax, qvworld::synthUtterance({"ba1", "di2", "gu3"}).size() / 16000.0, 1e-6);
    ASSERT_EQ(tiers.size(), 3u) << qvtest::readFile(w.dir.file("praat.txt"));
    // Each tier without its empty fillers, which must tile 0..xmax.
    const auto labelled = [&](const std::string& tier) {
        std::vector<std::tuple<double, double, std::string>> out;
        double t = 0;
        for (const auto& iv : tiers[tier]) {
            EXPECT_NEAR(std::get<0>(iv), t, 1e-9) << tier;
            t = std::get<1>(iv);
            if (!std::get<2>(iv).empty()) out.push_back(iv);
        }
        EXPECT_NEAR(t, xmax, 1e-9) << tier;
        return out;
    };
    const auto syls = labelled("syllables"), chars = labelled("characters"), phones = labelled("phones");
    ASSERT_EQ(syls.size(), j["syllables"].size());
    ASSERT_EQ(chars.size(), syls.size());
    size_t p = 0;
    for (size_t i = 0; i < syls.size(); ++i) {
        const auto& s = j["syllables"][i];
        EXPECT_EQ(std::get<2>(syls[i]), s["pinyin"]);
        EXPECT_EQ(std::get<2>(chars[i]), s["text"]);
        EXPECT_NEAR(std::get<0>(syls[i]), s["start"].get<double>(), 1e-9);
        EXPECT_NEAR(std::get<1>(syls[i]), s["end"].get<double>(), 1e-9);
        EXPECT_EQ(std::get<0>(chars[i]), std::get<0>(syls[i]));
        for (const auto& ph : s["phones"]) {
            ASSERT_LT(p, phones.size());
            EXPECT_EQ(std::get<2>(phones[p]), ph["name"]);
            EXPECT_NEAR(std::get<0>(phones[p]), ph["start"].get<double>(), 1e-9);
            EXPECT_NEAR(std::get<1>(phones[p]), ph["end"].get<double>(), 1e-9);
            ++p;
        }
    }
    EXPECT_EQ(p, phones.size());
}

TEST(ToolAssess, FindsTheDataFolder) {
    ToolWorld w;
    ToolRun r = w.tool({"assess", "utt.wav", "--text", kOne + kTwo + kThree});  // ./telvoDataChinese
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Score: ", 0), 0u) << r.out;
    // The prm's paths are relative to the folder holding the data folder,
    // also when the folder is named with a trailing slash.
    r = w.tool({"assess", w.dir.file("utt.wav"), "--text", kOne, "--data", w.data + "/"}, w.data);
    EXPECT_EQ(r.rc, 0) << r.err;
}

// ---- recog ------------------------------------------------------------------------

TEST(ToolRecog, TellsWhichSentenceWasRead) {
    ToolWorld w;
    w.utterance("utt.wav", {"gu3", "ba1", "di2"});
    ToolRun r = w.tool({"recog", "utt.wav", "--data", w.data, "--text", kOne + kTwo + kThree, "--text",
                    kThree + kOne + kTwo, "--text", kTwo + kThree + kOne, "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["index"], 2);
    EXPECT_EQ(j["text"], kThree + kOne + kTwo);
    EXPECT_EQ(j["matches"], json::array({2}));
    EXPECT_EQ(j["syllables"].size(), 3u);

    // The same from a file; blank lines do not count as sentences.
    qvtest::writeFile(w.dir.file("s.txt"), "\xEF\xBB\xBF" + kTwo + kThree + kOne + "\r\n\n  \n" + kThree + kOne + kTwo + "\n");
    r = w.tool({"recog", "utt.wav", "--data", w.data, "--text-file", "s.txt"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Sentence 2: " + kThree + kOne + kTwo + "\nScore: ", 0), 0u) << r.out;
}

// Candidates that part after a pause: the tool pads them with the optional
// pause as assessment does, so the beam keeps the branch that was spoken;
// a data set that turns padding off gets the engine's unpadded search, which
// drops it (gi2 starts with gu3's initial, which takes the pause better).
TEST(ToolRecog, PauseBeforeTheSyllableWhereCandidatesPart) {
    ToolWorld w;
    qvtest::writeFile(w.data + "/tiny.pam",
                      "% syllable\tmodels\nba1\tb+a a1\ndi2\td+i i2\nfiller\tfiller\nfillerC\tfillerC\n"
                      "fillerV\tfillerV\ngi2\tg+u i2\ngu3\tg+u u3\nsil\tsil\nsp\tsp\n");
    qvtest::writeFile(w.data + "/pinyin.txt", qvtest::readFile(w.data + "/pinyin.txt") + "4\tgi2\tGI2\tgi2\n");
    qvtest::writeFile(w.data + "/tiny.wpa", qvtest::readFile(w.data + "/tiny.wpa") + "\xA5\x7C\t4\tgi2\t2\tGI2\n");
    qvworld::writeWav(w.dir.file("utt.wav"), qvworld::synthUtterance({"ba1", "di2", "gu3"}, nullptr, 150, 40));
    const std::vector<std::string> args = {"recog", "utt.wav", "--data", w.data, "--text", kOne + kTwo + kThree,
                                           "--text", kOne + kFour + kThree, "--json", "--out", "o"};
    ToolRun r = w.tool(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["index"], 1);
    EXPECT_EQ(qvtest::readFile(w.dir.file("o/sentence.syl")), "ba1-sp-di2-sp-gu3\t0\nba1-sp-gi2-sp-gu3\t1\n");

    const std::string prm = w.data + "/chinese.sa.prm";
    std::string text = qvtest::readFile(prm);
    text.replace(text.find("usePaddedHardSp = 1"), 19, "usePaddedHardSp = 0");
    qvtest::writeFile(prm, text);
    r = w.tool(args);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["index"], 2);
}

// ---- bad input ----------------------------------------------------------------------

TEST(ToolBadInput, TextProblemsAreNamed) {
    ToolWorld w;
    expectOneLine(w.assess(""), 2, "empty");
    expectOneLine(w.assess("\xEF\xBC\x8C, "), 6, "empty");  // punctuation only
    expectOneLine(w.assess(kOne + kFour + kTwo + kFour), 6, "no reading in the word table for " + kFour);
    expectOneLine(w.assess(kOne + "\xF0\x9F\x98\x80"), 6, "(U+1F600)");
    expectOneLine(w.assess(kOne + "A" + kTwo), 6, "\"A\", which is not a Chinese character");
    expectOneLine(w.tool({"recog", "utt.wav", "--data", w.data, "--text", kOne, "--text", kFour}), 6,
                  "sentence 2: no reading in the word table for " + kFour);
    // A symbol without a reading is left out and named, and does not count
    // as a missing syllable.
    const ToolRun r = w.assess(kOne + kTwo + kThree + "\xE2\x80\x9D", {"--json"});  // closing quote
    ASSERT_EQ(r.rc, 0) << r.err << r.out;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["skipped"], json::array({"\xE2\x80\x9D"}));
    EXPECT_EQ(j["discounts"][4]["count"], 0);
    EXPECT_EQ(j["syllables"].size(), 3u);
}

TEST(ToolBadInput, AudioProblemsHaveTheirKindAndExitCode) {
    ToolWorld w;
    const std::string text = kOne + kTwo + kThree;
    const auto run = [&](const std::string& audio, bool asJson = false) {
        std::vector<std::string> args = {"assess", audio, "--text", text, "--data", w.data};
        if (asJson) args.push_back("--json");
        return w.tool(args);
    };
    expectOneLine(run("missing.wav"), 3, "audio file not found: missing.wav");
    qvtest::writeFile(w.dir.file("utt.mp3"), "ID3");
    expectOneLine(run("utt.mp3"), 3, "cannot read the audio file utt.mp3: ");
    qvtest::writeFile(w.dir.file("empty.wav"), "");
    expectOneLine(run("empty.wav"), 3, "cannot read the audio file empty.wav");
    qvtest::writeFile(w.dir.file("notes.Wav"), "not a recording at all, but a few words of text\n");
    expectOneLine(run("notes.Wav"), 3, "cannot read the audio file notes.Wav: ");
    qvworld::writeWav(w.dir.file("tiny.wav"), std::vector<int32_t>(100, 3000));
    expectOneLine(run("tiny.wav"), 5, "no speech: the recording is too short: 100 samples");

    // In JSON mode an error is one object with its kind.
    ToolRun r = run("missing.wav", true);
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.err, "");
    json j = json::parse(r.out);
    EXPECT_EQ(j["error"]["kind"], "unreadable audio");
    EXPECT_EQ(j["error"]["message"], "audio file not found: missing.wav");
    r = w.tool({"assess", "utt.wav", "--json"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(json::parse(r.out)["error"]["kind"], "usage");

    // Silence is no speech: score 0, every syllable not found, the reason.
    qvworld::writeWav(w.dir.file("silence.wav"), std::vector<int32_t>(32000, 0));
    r = run("silence.wav", true);
    EXPECT_EQ(r.rc, 5) << r.err;
    j = json::parse(r.out);
    EXPECT_EQ(j["score"], 0.0);
    EXPECT_EQ(j["error"]["kind"], "no speech");
    EXPECT_NE(j["noSpeech"].get<std::string>().find("no speech: 0.00 s"), std::string::npos) << j["noSpeech"];
    ASSERT_EQ(j["syllables"].size(), 3u);
    for (const auto& s : j["syllables"]) {
        EXPECT_EQ(s["found"], false);
        EXPECT_EQ(s["score"], 0);
    }
    EXPECT_EQ(j["syllables"][2]["text"], kThree);

    // Level problems are warnings on a score: the data set does not ask
    // for refusal (useWaveReject = 0), and the tool no longer forces it.
    std::vector<int32_t> clipped = qvworld::synthUtterance({"ba1", "di2", "gu3"});
    int32_t peak = 1;
    for (int32_t v : clipped) peak = std::max(peak, std::abs(v));
    for (auto& v : clipped)
        if (std::abs(v) > peak / 4) v = v > 0 ? 32767 : -32768;  // the speech cut at full scale, the pauses kept
    qvworld::writeWav(w.dir.file("clipped.wav"), clipped);
    r = run("clipped.wav", true);
    ASSERT_EQ(r.rc, 0) << r.err;
    j = json::parse(r.out);
    ASSERT_EQ(j["warnings"].size(), 1u) << j;
    EXPECT_EQ(j["warnings"][0].get<std::string>().rfind("the recording is clipped: ", 0), 0u) << j["warnings"];
    // A few full-scale peaks are no clipping.
    std::vector<int32_t> peaks = qvworld::synthUtterance({"ba1", "di2", "gu3"});
    for (size_t i = 1000; i < peaks.size(); i += 4000) peaks[i] = 32767;
    qvworld::writeWav(w.dir.file("peaks.wav"), peaks);
    r = run("peaks.wav", true);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_FALSE(json::parse(r.out).contains("warnings")) << r.out;
}

// Recordings as users bring them: other encodings, containers, names, rates
// and channel counts are decoded (libsndfile) and resampled (libsoxr) before
// the engine sees them, and score as the 16-bit mono WAV they were made from.
// Written by libsndfile, and by sox where the rate changes.
TEST(ToolAssess, OtherFormatsRatesAndChannelsScoreAsTheWav) {
    ToolWorld w;
    const std::string text = kOne + kTwo + kThree;
    const auto assess = [&](const std::string& audio) {
        const ToolRun r = w.tool({"assess", audio, "--text", text, "--data", w.data, "--json"});
        EXPECT_EQ(r.rc, 0) << audio << ": " << r.out << r.err;
        return r.rc == 0 ? json::parse(r.out) : json();
    };
    const json base = assess("utt.wav");
    ASSERT_TRUE(base.contains("score"));
    const std::vector<int32_t> samples = qvworld::synthUtterance({"ba1", "di2", "gu3"});
    const auto write = [&](const std::string& name, int format, int channels) {
        SF_INFO info{};
        info.samplerate = 16000;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(w.dir.file(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << name << ": " << sf_strerror(nullptr);
        std::vector<float> frames;  // full scale 1.0, as libsndfile takes floats
        for (int32_t v : samples)
            for (int c = 0; c < channels; ++c) frames.push_back(static_cast<float>(v) / 32768.0f);
        EXPECT_EQ(sf_writef_float(f, frames.data(), static_cast<sf_count_t>(samples.size())),
                  static_cast<sf_count_t>(samples.size()));
        sf_close(f);
    };
    // name, lossless (the same score), maximum score difference otherwise
    std::vector<std::tuple<std::string, bool, double>> variants = {
        {"float.Wav", true, 0}, {"stereo24.WAV", true, 0}, {"utt.flac", true, 0}, {"alaw.wav", false, 5},
        {"utt.ogg", false, 5},  {"utt.mp3", false, 5},
    };
    write("float.Wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1);
    write("stereo24.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2);
    write("utt.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1);
    write("alaw.wav", SF_FORMAT_WAV | SF_FORMAT_ALAW, 1);
    write("utt.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1);
    write("utt.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1);
    for (const char* rate : {"44100", "22050"}) {
        const std::string name = std::string("stereo") + rate + ".flac";
        const std::string cmd = "sox -q " + quote(w.dir.file("utt.wav")) + " -c 2 -r " + rate + " " + quote(w.dir.file(name));
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        variants.emplace_back(name, false, 5);
    }
    const double duration = static_cast<double>(samples.size()) / 16000;
    for (const auto& [name, lossless, tolerance] : variants) {
        const json j = assess(name);
        if (!j.contains("score")) continue;
        if (lossless) {
            EXPECT_EQ(j["score"], base["score"]) << name;
        }
        EXPECT_NEAR(j["score"].get<double>(), base["score"].get<double>(), tolerance) << name;
        ASSERT_EQ(j["syllables"].size(), base["syllables"].size()) << name;
        for (size_t i = 0; i < j["syllables"].size(); ++i) {
            EXPECT_NEAR(j["syllables"][i]["end"].get<double>(), base["syllables"][i]["end"].get<double>(), 0.05)
                << name << " syllable " << i;
            EXPECT_LE(j["syllables"][i]["end"].get<double>(), duration + 0.01) << name;
        }
    }
}

TEST(ToolBadInput, UsageErrorsExitWithTwo) {
    ToolWorld w;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"assess", "utt.wav"}, {"assess", "--text", kOne}, {"recog", "utt.wav"},
          {"assess", "utt.wav", "--text", kOne, "--bogus"}, {"speak", "utt.wav"}}) {
        const ToolRun r = w.tool(args);
        EXPECT_EQ(r.rc, 2) << args.size() << " " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(w.tool({"--help"}).rc, 0);
    expectOneLine(w.tool({"assess", "utt.wav", "--text", kOne, "--data", w.dir.file("nowhere")}), 1, "no data set");
}

// ---- the shipped data set -------------------------------------------------------------

TEST(ToolShipped, ChecksTextsAgainstTheShippedWordTable) {
    // The checks come before the engine, so they need no trained models.
    ToolWorld w;
    const std::string data = QV_SOURCE_DIR "/telvoDataChinese";
    const std::string nihao = "\xE4\xBD\xA0\xE5\xA5\xBD";  // 你好
    const std::string unitChar = "\xE5\x85\x99";           // 兙: Big5, but no reading in the source data
    expectOneLine(w.tool({"assess", "utt.wav", "--data", data, "--text", nihao + unitChar}), 6,
                  "no reading in the word table for " + unitChar);
    expectOneLine(w.tool({"assess", "utt.wav", "--data", data, "--text", nihao, "--pinyin", "ni3 hao"}), 6,
                  "unknown syllable \"hao\"");
}

TEST(ToolShipped, AssessesASampleRecording) {
    const std::string data = QV_SOURCE_DIR "/telvoDataChinese";
    if (!qvtest::exists(data + "/models/chinese.macb")) GTEST_SKIP() << "no trained models yet";
    ToolWorld w;
    const ToolRun r = w.tool({"assess", data + "/samples/tianqi.wav", "--data", data, "--json", "--text",
                              "\xE5\xA4\xA9\xE6\xB0\xA3\xEF\xBC\x81"});  // 天氣！
    ASSERT_EQ(r.rc, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["recognized"]["hanyu"], "tian1-sp-qi4");
    EXPECT_EQ(j["recognized"]["mpa"], "\xE3\x84\x8A\xE3\x84\xA7\xE3\x84\xA2-sp-\xE3\x84\x91\xE3\x84\xA7\xCB\x8B");
    ASSERT_EQ(j["syllables"].size(), 2u);
    EXPECT_EQ(j["syllables"][0]["text"], "\xE5\xA4\xA9");
    EXPECT_EQ(j["syllables"][1]["zhuyin"], "\xE3\x84\x91\xE3\x84\xA7\xCB\x8B");  // ㄑㄧˋ
    // The shipped parameters name the tone model: every voiced syllable has its tone.
    for (const auto& syl : j["syllables"]) {
        ASSERT_TRUE(syl.contains("tone")) << syl.dump();
        EXPECT_EQ(syl["tone"]["expected"].get<int>(), syl["pinyin"].get<std::string>().back() - '0');
    }
    const double score = j["score"].get<double>();
    EXPECT_TRUE(score >= 0 && score <= 100) << score;
}
