// The measuring pieces of quorvane-eval: AUC, wrong-syllable choice, bell fit
// and the test list format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tools/common/evalCore.h"

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
