#include "engine/tone/toneModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/scoring/mlf.h"
#include "engine/utility.h"
#include "support/testutil.h"

using namespace qv;

namespace {

// Pitch track in semitones (around 0) for frames; NaN where unvoiced.
toneUtterance utterance(const std::vector<float>& st) {
    toneUtterance u;
    u.semitone = st;
    u.logVolume.assign(st.size(), -1.0f);
    return u;
}

std::vector<float> contour(int n, float from, float to, float dip = 0) {
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const float x = n > 1 ? static_cast<float>(i) / (n - 1) : 0;
        v[static_cast<size_t>(i)] = from + (to - from) * x - dip * 4 * x * (1 - x);
    }
    return v;
}

// A model of one hidden unit that reads the slope feature only: rising
// contours are tone 2, falling ones tone 4.
std::string slopeModel(float weight) {
    std::string s = "toneModel 1\nweight " + std::to_string(weight) + "\nfeatures 13\nhidden 1\nclasses 5\n";
    s += "mean";
    for (int i = 0; i < 13; ++i) s += " 0";
    s += "\nscale";
    for (int i = 0; i < 13; ++i) s += " 1";
    s += "\nw1";
    for (int i = 0; i < 13; ++i) s += i == 5 ? " 1" : " 0";
    s += "\nb1 0\nw2 0 8 0 -8 0\nb2 0 0 0 0 -5\n";
    return s;
}

std::string writeTemp(const qvtest::ScratchDir& dir, const std::string& name, const std::string& text) {
    qvtest::writeFile(dir.file(name), text);
    return dir.file(name);
}

}  // namespace

TEST(ToneFeatures, ContourShapesAndVoicing) {
    // Rising, falling and dipping finals over 20 frames.
    toneFeatureVec f;
    ASSERT_TRUE(toneFeaturesOf(utterance(contour(20, -3, 3)), 0, 19, 0, 19, f));
    EXPECT_LT(f[0], f[2]);
    EXPECT_LT(f[2], f[4]);
    EXPECT_GT(f[5], 0);
    EXPECT_NEAR(f[8], 6, 0.5);
    EXPECT_NEAR(f[9], 1, 1e-6);
    ASSERT_TRUE(toneFeaturesOf(utterance(contour(20, 3, -3)), 0, 19, 0, 19, f));
    EXPECT_LT(f[5], 0);
    ASSERT_TRUE(toneFeaturesOf(utterance(contour(20, 0, 0, 4)), 0, 19, 0, 19, f));
    EXPECT_GT(f[6], 1);
    EXPECT_NEAR(f[7], 0.5, 0.1);
    // Unvoiced gaps are bridged: half the frames missing keeps the shape.
    std::vector<float> gappy = contour(20, -3, 3);
    for (size_t i = 1; i < gappy.size(); i += 2) gappy[i] = NAN;
    ASSERT_TRUE(toneFeaturesOf(utterance(gappy), 0, 19, 0, 19, f));
    EXPECT_GT(f[5], 0);
    EXPECT_NEAR(f[9], 0.5, 1e-6);
    // Too little voicing in the final and the syllable: no contour.
    std::vector<float> dark(20, NAN);
    dark[3] = 1;
    EXPECT_FALSE(toneFeaturesOf(utterance(dark), 0, 19, 5, 19, f));
    // The final's span reaches into voiced neighbours by up to kToneEdge frames.
    std::vector<float> ctx(30, NAN);
    for (int i = 5; i < 25; ++i) ctx[static_cast<size_t>(i)] = i < 10 ? 5.0f : 0.0f;
    ASSERT_TRUE(toneFeaturesOf(utterance(ctx), 10, 24, 10, 24, f));
    EXPECT_GT(f[0], 0.5f);
}

TEST(ToneFeatures, SpeakerRegisterCancels) {
    // The same rise spoken an octave apart: one shape after the median.
    std::vector<int32_t> volume(200, 1000);
    auto glideAt = [](double base) {
        std::vector<int32_t> x(32000, 0);
        double ph = 0;
        for (int i = 8000; i < 24000; ++i) {
            ph += 2 * M_PI * base * (1 + 0.5 * (i - 8000) / 16000.0) / 16000;
            double v = 0;
            for (int h = 1; h <= 6; ++h) v += std::sin(h * ph) / h;
            x[static_cast<size_t>(i)] = static_cast<int32_t>(5000 * v);
        }
        return x;
    };
    toneFeatureVec lo, hi;
    const std::vector<int32_t> a = glideAt(100), b = glideAt(200);
    ASSERT_TRUE(toneFeaturesOf(toneUtteranceOf(a.data(), 32000, 16000, volume), 55, 145, 55, 145, lo));
    ASSERT_TRUE(toneFeaturesOf(toneUtteranceOf(b.data(), 32000, 16000, volume), 55, 145, 55, 145, hi));
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(lo[static_cast<size_t>(i)], hi[static_cast<size_t>(i)], 0.3) << "feature " << i;
}

TEST(ToneModel, ReaderAcceptsTheFormatAndRefusesDamage) {
    qvtest::ConsoleCapture quiet;
    qvtest::ScratchDir dir;
    toneModelClass m;
    m.read(writeTemp(dir, "ok.tone", "% comment\n" + slopeModel(0.25f)));
    EXPECT_FLOAT_EQ(m.weight, 0.25f);
    EXPECT_EQ(m.hidden, 1);
    EXPECT_FLOAT_EQ(m.temperature, 1.0f);
    const std::string good = slopeModel(0.25f);
    auto refused = [&](const std::string& text) {
        toneModelClass x;
        EXPECT_THROW(x.read(writeTemp(dir, "bad.tone", text)), std::exception) << text;
    };
    refused(good.substr(0, good.find("b2")));                                 // entry missing
    refused(std::string(good).replace(good.find("b1 0"), 4, "b1 0 0"));        // count wrong
    refused(std::string(good).replace(good.find("b1 0"), 4, "b1 x"));          // not a number
    refused(std::string(good).replace(good.find("hidden 1"), 8, "hidden 0"));  // out of range
    refused(std::string(good).replace(good.find("toneModel 1"), 11, "toneModel 2"));
    refused(good + "weight 0.5\n");                                            // twice
    refused(std::string(good).replace(good.find("scale 1"), 7, "scale 0"));    // division by zero
    EXPECT_THROW(m.read(dir.file("absent.tone")), std::exception);
}

TEST(ToneModel, ScoresFollowTheExpectedToneByTheDocumentedRule) {
    qvtest::ConsoleCapture quiet;
    qvtest::ScratchDir dir;
    toneModelClass m;
    m.read(writeTemp(dir, "slope.tone", slopeModel(0.4f)));
    // Three syllables: rising ("ma2", right), rising ("ma4", wrong), unvoiced.
    std::vector<float> st = contour(20, -3, 3);
    std::vector<float> more = contour(20, -3, 3);
    st.insert(st.end(), more.begin(), more.end());
    st.insert(st.end(), 20, NAN);
    mlfClass r;
    const char* names[3] = {"ma2", "ma4", "ma1"};
    for (int k = 0; k < 3; ++k) {
        mlfNode n;
        n.name = names[k];
        n.startFrame = 20 * k;
        n.endFrame = 20 * k + 19;
        mlfPhone ph;
        ph.startFrame = n.startFrame + 4;
        ph.endFrame = n.endFrame;
        n.phoneList.push_back(ph);
        for (float& s : n.scores) s = 90;
        n.score = 90;
        r.nodeList.push_back(n);
    }
    toneScoreNodes(r, 0, 2, utterance(st), m);
    const mlfNode &right = r.nodeList[0], &wrong = r.nodeList[1], &dark = r.nodeList[2];
    EXPECT_EQ(right.toneExpected, 2);
    EXPECT_EQ(right.toneHeard, 2);
    EXPECT_FLOAT_EQ(right.toneScore, 100);
    EXPECT_NEAR(right.scores[1], 0.6f * 90 + 0.4f * right.toneScore, 1e-3);
    EXPECT_FLOAT_EQ(right.score, right.scores[1]);
    EXPECT_EQ(wrong.toneHeard, 2);
    EXPECT_LT(wrong.toneScore, 5);
    EXPECT_LT(wrong.scores[0], 60);
    EXPECT_FLOAT_EQ(dark.toneScore, -1);
    EXPECT_FLOAT_EQ(dark.scores[1], 90);
    EXPECT_EQ(toneOfSyllable("sil"), 0);
}
