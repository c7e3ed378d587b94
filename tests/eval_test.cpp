// The measuring pieces of quorvane-eval: AUC, wrong-syllable choice, bell fit
// and the test list format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "support/testutil.h"
#include "tools/common/evalCore.h"
#include "world/tinyWorld.h"

using qvtool::AlterKind;

TEST(EvalAuc, HandExampleWithTies) {
    // Pairs (pos, neg): 3>1, 3>2, 3=3 (1/2); 2>1, 2=2 (1/2), 2<3; 1=1 (1/2),
    // 1<2, 1<3 -> (2 + 0.5 + 1 + 0.5 + 0.5) / 9 = 4.5 / 9.
    EXPECT_DOUBLE_EQ(qvtool::rocAuc({3, 2, 1}, {1, 2, 3}), 0.5);
    // 4 positives, 2 negatives: 90 beats both, 80 beats both, 50 ties 50 and
    // beats 10, 10 ties 10 and loses to 50 -> (2 + 2 + 1.5 + 0.5) / 8.
    EXPECT_DOUBLE_EQ(qvtool::rocAuc({90, 80, 50, 10}, {50, 10}), 6.0 / 8.0);
    EXPECT_DOUBLE_EQ(qvtool::rocAuc({5, 6}, {1, 2, 3}), 1.0);
    EXPECT_DOUBLE_EQ(qvtool::rocAuc({1}, {5, 6}), 0.0);
    EXPECT_DOUBLE_EQ(qvtool::rocAuc({7, 7, 7}, {7, 7}), 0.5);
    EXPECT_EQ(qvtool::rocAuc({}, {1}), -1);
    EXPECT_EQ(qvtool::rocAuc({1}, {}), -1);
}

TEST(EvalAuc, AgreesWithPairCountOnManyTies) {
    std::vector<double> pos, neg;
    for (int i = 0; i < 57; ++i) pos.push_back((i * 7) % 11);
    for (int i = 0; i < 43; ++i) neg.push_back((i * 5) % 9);
    double wins = 0;
    for (double p : pos)
        for (double n : neg) wins += p > n ? 1 : p == n ? 0.5 : 0;
    EXPECT_NEAR(qvtool::rocAuc(pos, neg), wins / (57.0 * 43.0), 1e-12);
}

TEST(EvalQuantile, InterpolatesBetweenOrderStatistics) {
    EXPECT_DOUBLE_EQ(qvtool::quantile({4, 1, 3, 2}, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(qvtool::quantile({0, 10}, 0.9), 9);
    EXPECT_DOUBLE_EQ(qvtool::quantile({5}, 0.3), 5);
    EXPECT_DOUBLE_EQ(qvtool::quantile({}, 0.5), 0);
}

namespace {

qvtool::SyllableInventory smallInventory() {
    return qvtool::SyllableInventory(
        {"ni3\tn+i i3", "ni2\tn+i i2", "ni4\tn+i i4", "li3\tl+i i3", "bi3\tb+i i3", "yi3\ti3", "nu3\tn+u u3",
         "nv3\tn+v v3", "zhen1\tzh+en en1", "zheng1\tzh+eng eng1", "zhan1\tzh+an an1", "zen1\tz+en en1",
         "cen1\tc+en en1", "sil\tsil", "filler\tfiller", "ai4\tai4", "ei4\tei4", "bai4\tb+ai ai4"},
        {"zh+en\tzh+eng\tz+en", "z+en\tzh+en", "zh+eng\tzh+en", "en1\teng1", "eng1\ten1"});
}

}  // namespace

TEST(EvalAlter, EachKindChangesOnlyItsPart) {
    const auto inv = smallInventory();
    EXPECT_FALSE(inv.has("sil"));
    EXPECT_FALSE(inv.has("filler"));
    EXPECT_EQ(inv.alternatives("ni3", AlterKind::Tone), (std::vector<std::string>{"ni2", "ni4"}));
    // Another initial or none, same toned final.
    EXPECT_EQ(inv.alternatives("ni3", AlterKind::Initial), (std::vector<std::string>{"bi3", "li3", "yi3"}));
    EXPECT_EQ(inv.alternatives("ni3", AlterKind::Final), (std::vector<std::string>{"nu3", "nv3"}));
    // A syllable without an initial: initial change adds one, final change
    // keeps it initial-less.
    EXPECT_EQ(inv.alternatives("ai4", AlterKind::Initial), (std::vector<std::string>{"bai4"}));
    EXPECT_EQ(inv.alternatives("ai4", AlterKind::Final), (std::vector<std::string>{"ei4"}));
    EXPECT_TRUE(inv.alternatives("ai4", AlterKind::Tone).empty());
    EXPECT_TRUE(inv.alternatives("xyz3", AlterKind::Tone).empty());
}

TEST(EvalAlter, SkipsWhatTheScorerAccepts) {
    const auto inv = smallInventory();
    // zen1 (z+en, accepted for zh+en) is no mistake; cen1 is.
    EXPECT_EQ(inv.alternatives("zhen1", AlterKind::Initial), (std::vector<std::string>{"cen1"}));
    // zheng1 (both models accept the en forms) is no mistake; zhan1 is.
    EXPECT_EQ(inv.alternatives("zhen1", AlterKind::Final), (std::vector<std::string>{"zhan1"}));
    EXPECT_TRUE(inv.accepts("zh+en", "z+en"));
    EXPECT_FALSE(inv.accepts("z+en", "c+en"));
}

TEST(EvalAlter, PickIsDeterministicAndCoversTheChoices) {
    const auto inv = smallInventory();
    std::vector<std::string> seen;
    for (uint64_t i = 0; i < 40; ++i) {
        const uint64_t pick = qvtool::mixPick(7, i);
        const std::string a = inv.alter("ni3", AlterKind::Initial, pick);
        EXPECT_EQ(a, inv.alter("ni3", AlterKind::Initial, pick));
        if (std::find(seen.begin(), seen.end(), a) == seen.end()) seen.push_back(a);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"bi3", "li3", "yi3"}));
    EXPECT_EQ(inv.alter("ai4", AlterKind::Tone, 3), "");
}

TEST(EvalBell, FitMeetsBothGoals) {
    // Correct ratios 0..0.09 (90th percentile 0.081), wrong ones median 0.4.
    std::vector<double> right, wrong;
    for (int i = 0; i < 10; ++i) right.push_back(i * 0.01);
    for (int i = 0; i < 5; ++i) wrong.push_back(0.2 + i * 0.1);
    const qvtool::BellFit f = qvtool::fitBell(right, wrong);
    EXPECT_EQ(f.c, 0);
    EXPECT_NEAR(qvtool::bellValue(qvtool::quantile(right, 0.9), f.a, f.b, f.c), 80, 1e-9);
    EXPECT_NEAR(qvtool::bellValue(0.4, f.a, f.b, f.c), 20, 1e-9);
    EXPECT_EQ(qvtool::bellValue(0, f.a, f.b, f.c), 100);
    EXPECT_NEAR(f.meanCorrect, 0.045, 1e-12);
    EXPECT_EQ(f.correctCount, 10u);
    EXPECT_EQ(f.wrongCount, 5u);
}

TEST(EvalBell, LimitsAndFallbacks) {
    // All correct phones ranked first: the width comes from the floor.
    const qvtool::BellFit floorFit = qvtool::fitBell({0, 0, 0}, {0.5, 0.5});
    EXPECT_NEAR(qvtool::bellValue(0.01, floorFit.a, floorFit.b, 0), 80, 1e-9);
    // Wrong phones no worse than correct ones: default steepness, first goal kept.
    const qvtool::BellFit flat = qvtool::fitBell({0.1, 0.2, 0.3}, {0.05});
    EXPECT_EQ(flat.b, 1);
    EXPECT_NEAR(qvtool::bellValue(qvtool::quantile({0.1, 0.2, 0.3}, 0.9), flat.a, flat.b, 0), 80, 1e-9);
    // Wrong phones barely above: steepness clamped to its maximum.
    const qvtool::BellFit steep = qvtool::fitBell({0.1}, {0.12});
    EXPECT_EQ(steep.b, 4);
    // The engine's default mapping: 100 / (1 + 20 x).
    EXPECT_NEAR(qvtool::bellValue(0.2, 0.05, 0.5, 0), 20, 1e-9);
    EXPECT_TRUE(std::isfinite(qvtool::fitBell({}, {}).a));
}

TEST(EvalList, ParsesLinesAndRejectsMalformedOnes) {
    qvtool::TestItem it;
    std::string err;
    ASSERT_TRUE(qvtool::parseTestLine("a.wav\tni3 hao3\r", it, err));
    EXPECT_EQ(it.wav, "a.wav");
    EXPECT_EQ(it.syllables, (std::vector<std::string>{"ni3", "hao3"}));
    EXPECT_TRUE(it.bounds.empty());
    ASSERT_TRUE(qvtool::parseTestLine("a.wav\tni3 hao3\t0.3 0.6 0.75 1.1", it, err));
    EXPECT_EQ(it.bounds, (std::vector<double>{0.3, 0.6, 0.75, 1.1}));
    EXPECT_FALSE(qvtool::parseTestLine("a.wav\tni3 hao3\t0.3 0.6 0.75", it, err));
    EXPECT_NE(err.find("2 boundaries per syllable"), std::string::npos);
    EXPECT_FALSE(qvtool::parseTestLine("a.wav\tni3\t0.3 x", it, err));
    EXPECT_FALSE(qvtool::parseTestLine("a.wav", it, err));
    EXPECT_FALSE(qvtool::parseTestLine("a.wav\t  ", it, err));
    EXPECT_FALSE(qvtool::parseTestLine("a\tb\tc\td", it, err));
}

// ---- The tool end to end on the tiny synthetic world ------------------------

namespace {

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The tiny world as a data folder, with extra dictionary syllables that put
// one syllable's initial model before another's final (da1 = d+i a1), so
// that every syllable has wrong-initial alternatives the models can judge.
struct EvalWorld {
    qvtest::ScratchDir dir;
    std::string data = dir.file("data");
    std::string list = dir.file("test.lst");

    EvalWorld() {
        const std::string prm = qvworld::buildTinyWorld(data);
        qvtest::writeFile(data + "/chinese.sa.prm", qvtest::readFile(prm));
        qvtest::writeFile(data + "/tiny.pam",
                          "% syllable\tmodels\nba1\tb+a a1\nbi2\tb+a i2\nbu3\tb+a u3\nda1\td+i a1\ndi2\td+i i2\n"
                          "du3\td+i u3\nfiller\tfiller\nfillerC\tfillerC\nfillerV\tfillerV\nga1\tg+u a1\n"
                          "gi2\tg+u i2\ngu3\tg+u u3\nsil\tsil\nsp\tsp\n");
        std::string lines;
        const std::vector<std::vector<std::string>> utts = {
            {"ba1", "di2", "gu3"}, {"gu3", "ba1"}, {"di2", "gu3", "ba1", "di2"}, {"ba1", "gu3", "di2"}, {"gu3", "di2"}};
        for (size_t u = 0; u < utts.size(); ++u) {
            std::vector<qvworld::Segment> all, seg;
            const std::string wav = dir.file("u" + std::to_string(u) + ".wav");
            qvworld::writeWav(wav, qvworld::synthUtterance(utts[u], &all, 150, 40, 300, static_cast<unsigned>(u + 1)));
            for (const auto& g : all)
                if (g.phone != "sil" && g.phone != "sp") seg.push_back(g);
            lines += wav + "\t";
            std::string bounds;
            for (size_t s = 0; s < utts[u].size(); ++s) {
                lines += (s ? " " : "") + utts[u][s];
                // Two phones per syllable.
                bounds += (s ? " " : "") + std::to_string(seg[2 * s].begin / 16000.0) + " " +
                          std::to_string(seg[2 * s + 1].end / 16000.0);
            }
            lines += "\t" + bounds + "\n";
        }
        qvtest::writeFile(list, lines);
    }

    int tool(const std::string& args) const {
        const std::string cmd = shellQuote(QV_BINARY_DIR "/quorvane-eval") + " " + args + " 2>" +
                                shellQuote(dir.file("stderr.txt"));
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

}  // namespace

TEST(EvalTool, MeasuresTheTinyWorld) {
    EvalWorld w;
    const std::string out = w.dir.file("eval.json");
    ASSERT_EQ(w.tool("eval --data " + shellQuote(w.data) + " --list " + shellQuote(w.list) + " --json " + shellQuote(out) +
                     " --markdown " + shellQuote(w.dir.file("eval.md")) + " --details " + shellQuote(w.dir.file("d.jsonl"))),
              0)
        << qvtest::readFile(w.dir.file("stderr.txt"));
    const nlohmann::json j = nlohmann::json::parse(qvtest::readFile(out));
    EXPECT_EQ(j["problems"], 0) << j.dump(2);
    EXPECT_EQ(j["correct"]["utterances"], 5);
    EXPECT_EQ(j["correct"]["syllables"], 14);
    EXPECT_GT(j["correct"]["meanFinalScore"].get<double>(), 80);
    // Only wrong initials exist in this inventory; the models tell them apart.
    EXPECT_EQ(j["altered"]["initial"]["syllables"], 5);
    EXPECT_EQ(j["altered"]["tone"]["syllables"], 0);
    // Most wrong initials cannot be aligned at all (scored 0); one squeezed
    // to the minimum 3 frames still ranks first there.
    EXPECT_GE(j["altered"]["initial"]["auc"].get<double>(), 0.9);
    EXPECT_GE(j["incompleteAlteredRuns"].get<int>(), 1);
    EXPECT_EQ(j["boundaries"]["count"], 28);
    EXPECT_GT(j["boundaries"]["share"].get<double>(), 0.8) << j["boundaries"].dump();
    EXPECT_EQ(j["recog"]["utterances"], 5);
    // The sounds are far apart: every wrong choice is one the search lost.
    EXPECT_EQ(j["recog"]["right"].get<int>() + j["recog"]["searchErrors"].get<int>(), 5);
    EXPECT_NE(qvtest::readFile(w.dir.file("eval.md")).find("| Recognition among 5 sentences (5; "),
              std::string::npos);
}

// Sentences that share their first syllable: with a pause before the branch
// and no pause token, the beam dropped the spoken branch ("ba1-gi2-gu3" won
// at -51618 over the -20011 of the spoken "ba1-di2-gu3").
TEST(EvalTool, RecogPicksTheSpokenSentence) {
    EvalWorld w;
    const std::string out = w.dir.file("eval.json");
    ASSERT_EQ(w.tool("eval --data " + shellQuote(w.data) + " --list " + shellQuote(w.list) + " --json " +
                     shellQuote(out) + " --details " + shellQuote(w.dir.file("d.jsonl"))),
              0);
    const nlohmann::json j = nlohmann::json::parse(qvtest::readFile(out));
    EXPECT_EQ(j["recog"]["right"], 5) << qvtest::readFile(w.dir.file("d.jsonl"));
}

TEST(EvalTool, CalibrationWritesOneLinePerModel) {
    EvalWorld w;
    const std::string tmpl = w.dir.file("cm.tmpl");
    const char* const models[] = {"a1", "b+a", "d+i", "filler", "fillerC", "fillerV", "g+u", "i2", "sil", "sp", "u3"};
    std::string t = "% header\n";
    for (size_t i = 0; i < 11; ++i) t += std::to_string(i) + "\t" + models[i] + "\t0\t0\t0\t[0.05 0.5 0]\n";
    qvtest::writeFile(tmpl, t);
    const std::string cm = w.dir.file("cm.txt"), rank = w.dir.file("rank.prm");
    ASSERT_EQ(w.tool("calibrate --data " + shellQuote(w.data) + " --list " + shellQuote(w.list) + " --cm-template " +
                     shellQuote(tmpl) + " --cm-out " + shellQuote(cm) + " --rank-out " + shellQuote(rank) + " --min-correct 3" +
                     " --json " + shellQuote(w.dir.file("cal.json"))),
              0)
        << qvtest::readFile(w.dir.file("stderr.txt"));
    std::vector<std::string> lines;
    qv::readLines(cm, lines, '%');
    ASSERT_EQ(lines.size(), 11u);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> f;
        qv::splitString(lines[i], '\t', f);
        ASSERT_EQ(f.size(), 6u) << lines[i];
        EXPECT_EQ(f[0], std::to_string(i));
        EXPECT_EQ(f[1], models[i]);
        EXPECT_EQ(f[5].front(), '[');
    }
    // b+a is spoken 4 times in correct readings.
    EXPECT_EQ(lines[1].substr(0, 10), "1\tb+a\t4\t0.") << lines[1];
    double a = 0, b = 0, c = -1;
    ASSERT_EQ(sscanf(qvtest::readFile(rank).c_str(), "%lf %lf %lf", &a, &b, &c), 3);
    EXPECT_GT(a, 0);
    EXPECT_GE(b, 0.5);
    EXPECT_EQ(c, 0);
}

TEST(EvalTool, RefitFromSamplesChoosesOwnOrGlobalFit) {
    EvalWorld w;
    // x1: 30 right at 0..0.029, 12 wrong at 0.4 -> a fit of its own.
    // x2: 30 right, 12 wrong ranked as well as the right ones -> global.
    // x3: 5 right only -> global.
    std::string t;
    for (int i = 0; i < 30; ++i) {
        t += "x1\tright\t" + std::to_string(i * 0.001) + "\n";
        t += "x2\tright\t" + std::to_string(i * 0.01) + "\n";
    }
    for (int i = 0; i < 12; ++i) t += "x1\twrong\t0.4\nx2\twrong\t0.1\n";
    for (int i = 0; i < 5; ++i) t += "x3\tright\t0\n";
    qvtest::writeFile(w.dir.file("s.tsv"), t);
    qvtest::writeFile(w.dir.file("cm.tmpl"), "0\tx1\t0\t0\t0\t[1 1 0]\n1\tx2\t0\t0\t0\t[1 1 0]\n2\tx3\t0\t0\t0\t[1 1 0]\n");
    const std::string cm = w.dir.file("cm.txt"), rank = w.dir.file("rank.prm");
    ASSERT_EQ(w.tool("calibrate --data " + shellQuote(w.data) + " --samples-in " + shellQuote(w.dir.file("s.tsv")) +
                     " --cm-template " + shellQuote(w.dir.file("cm.tmpl")) + " --cm-out " + shellQuote(cm) +
                     " --rank-out " + shellQuote(rank) + " --json " + shellQuote(w.dir.file("cal.json"))),
              0)
        << qvtest::readFile(w.dir.file("stderr.txt"));
    std::vector<std::string> lines;
    qv::readLines(cm, lines, '%');
    ASSERT_EQ(lines.size(), 3u);
    auto bell = [](const std::string& line) {
        double a = 0, b = 0, c = 0;
        EXPECT_EQ(sscanf(line.substr(line.find('[')).c_str(), "[%lf %lf %lf]", &a, &b, &c), 3) << line;
        return std::vector<double>{a, b, c};
    };
    const std::vector<double> x1 = bell(lines[0]), x2 = bell(lines[1]), x3 = bell(lines[2]);
    EXPECT_NEAR(qvtool::bellValue(0.4, x1[0], x1[1], x1[2]), 20, 0.01);
    EXPECT_NEAR(qvtool::bellValue(0.0261, x1[0], x1[1], x1[2]), 80, 0.5);  // 90th percentile
    EXPECT_EQ(lines[0].substr(0, 8), "0\tx1\t30\t");
    EXPECT_EQ(x2, x3);  // both global
    double ga = 0, gb = 0, gc = 0;
    ASSERT_EQ(sscanf(qvtest::readFile(rank).c_str(), "%lf %lf %lf", &ga, &gb, &gc), 3);
    EXPECT_NEAR(x3[0], ga, 1e-5);
    EXPECT_NEAR(x3[1], gb, 1e-5);
    const nlohmann::json j = nlohmann::json::parse(qvtest::readFile(w.dir.file("cal.json")));
    EXPECT_EQ(j["modelsOwnFit"], 1);
    EXPECT_EQ(j["modelsGlobalFitNoSeparation"], 1);
    EXPECT_EQ(j["modelsGlobalFitFewSamples"], 1);
}

TEST(EvalTool, BadListsAndUnknownSyllables) {
    EvalWorld w;
    // A malformed line stops the tool with its line number.
    qvtest::writeFile(w.dir.file("bad.lst"), "# comment\n" + w.dir.file("u0.wav") + "\tba1\t0.3\n");
    EXPECT_EQ(w.tool("eval --data " + shellQuote(w.data) + " --list " + shellQuote(w.dir.file("bad.lst")) +
                     " --json " + shellQuote(w.dir.file("x.json"))),
              1);
    const std::string err = qvtest::readFile(w.dir.file("stderr.txt"));
    EXPECT_NE(err.find("item 1: expected 2 boundaries per syllable"), std::string::npos) << err;
    // A syllable outside the dictionary and a missing recording are problems
    // of their items; the others are still measured.
    qvtest::writeFile(w.dir.file("mixed.lst"), w.dir.file("u0.wav") + "\tba1 zz9 gu3\n" + w.dir.file("none.wav") +
                                                   "\tba1 gu3\n" + w.dir.file("u1.wav") + "\tgu3 ba1\n");
    const std::string out = w.dir.file("mixed.json");
    ASSERT_EQ(w.tool("eval --data " + shellQuote(w.data) + " --list " + shellQuote(w.dir.file("mixed.lst")) +
                     " --no-recog --json " + shellQuote(out)),
              0)
        << qvtest::readFile(w.dir.file("stderr.txt"));
    const nlohmann::json j = nlohmann::json::parse(qvtest::readFile(out));
    EXPECT_EQ(j["correct"]["utterances"], 1);
    EXPECT_EQ(j["recog"]["utterances"], 0);
    const std::string problems = j["firstProblems"].dump();
    EXPECT_NE(problems.find("syllable zz9 is not in the dictionary"), std::string::npos) << problems;
    EXPECT_NE(problems.find("none.wav [correct]"), std::string::npos) << problems;
}
