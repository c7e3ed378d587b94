// The trainer's core on synthetic "phones": Gaussian frames around a mean per
// phone, 39 values per frame.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "capture/wave.h"
#include "engine/lexicon/dict.h"
#include "engine/models/macro.h"
#include "engine/utility.h"
#include "support/testutil.h"
#include "tools/common/trainData.h"
#include "tools/common/trainHmm.h"

namespace {

constexpr int kDim = 39;

// Synthetic corpus: each utterance is sil, the phones of its units (frames
// per phone given), sil.
struct synthCorpus {
    std::vector<std::vector<float>> fea;
    std::vector<int32_t> frameNum;
    std::vector<qv::trainItem> items;
    std::vector<qv::trainUtterance> utts;
};

float phoneMean(const std::string& phone) {
    if (phone == "sil") return 0.0f;
    if (phone == "k+a") return 6.0f;
    if (phone == "a1") return -5.0f;
    if (phone == "a2") return 3.0f;
    return 0.0f;
}

void appendFrames(std::vector<float>& fea, float mean, int n, std::mt19937& rng) {
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int t = 0; t < n; ++t)
        for (int d = 0; d < kDim; ++d) fea.push_back(mean + noise(rng));
}

class TrainTest : public ::testing::Test {
protected:
    void SetUp() override {
        qvtest::writeFile(dir.file("t.pam"),
                          "% unit models\nfiller\tfiller\nfillerC\tfillerC\nfillerV\tfillerV\n"
                          "ka1\tk+a a1\nka2\tk+a a2\nsil\tsil\nsp\tsp\n");
        trainer.config().threads = 2;
        trainer.defineModels(qv::dictModelNames(dir.file("t.pam")));
        dict.pronDictRead(dir.file("t.pam"), trainer.set());
    }

    // Utterances "ka1", "ka2" and "ka1 ka2" (with a pause between the two
    // syllables in every other one), durations varying a little.
    synthCorpus makeCorpus(int count, unsigned seed = 7) {
        synthCorpus c;
        std::mt19937 rng(seed);
        c.fea.resize(count);
        for (int i = 0; i < count; ++i) {
            qv::trainItem item;
            std::vector<float>& f = c.fea[i];
            const int len = 6 + i % 4;
            appendFrames(f, phoneMean("sil"), 8, rng);
            if (i % 3 == 2) {
                item.units = {"ka1", "ka2"};
                appendFrames(f, phoneMean("k+a"), len, rng);
                appendFrames(f, phoneMean("a1"), len, rng);
                if (i % 2 == 0) appendFrames(f, phoneMean("sil"), 6, rng);
                appendFrames(f, phoneMean("k+a"), len, rng);
                appendFrames(f, phoneMean("a2"), len, rng);
            } else {
                const std::string fin = i % 3 == 0 ? "a1" : "a2";
                item.units = {i % 3 == 0 ? "ka1" : "ka2"};
                appendFrames(f, phoneMean("k+a"), len, rng);
                appendFrames(f, phoneMean(fin), len, rng);
            }
            appendFrames(f, phoneMean("sil"), 8, rng);
            qv::trainUtterance u;
            std::string missing;
            EXPECT_TRUE(qv::itemModels(item, dict, trainer, u, missing)) << missing;
            u.fea = f.data();
            u.frameNum = static_cast<int32_t>(f.size() / kDim);
            c.utts.push_back(u);
            c.items.push_back(item);
            c.frameNum.push_back(u.frameNum);
        }
        return c;
    }

    // State log-likelihood from a prepared (engine-form) model set.
    static double preparedLogLik(const qv::macroClass& set, int32_t m, int s, const float* x) {
        double total = 0.0;
        for (int k = 0; k < set.streamNum; ++k) {
            const qv::hmmStream& str = set.model[m].state[s].stream[k];
            double lse = -INFINITY;
            for (int j = 0; j < str.mixtureNum; ++j) {
                const qv::hmmMixture& g = str.mixture[j];
                double d2 = 0.0;
                for (int d = 0; d < set.streamWidth[k]; ++d) {
                    const double diff = x[k * 13 + d] - g.mean[d];
                    d2 += diff * diff * g.var[d];
                }
                const double v = g.weight - 0.5 * (g.gconst + d2);
                lse = std::max(lse, v) + std::log1p(std::exp(-std::fabs(lse - v)));
            }
            total += lse;
        }
        return total;
    }

    qvtest::ScratchDir dir;
    qv::hmmTrainer trainer;
    qv::dictClass dict;
};

TEST_F(TrainTest, ModelSetIsSortedWithTiedSpAndSequencesFromTheDictionary) {
    const qv::macroClass& set = trainer.set();
    ASSERT_EQ(set.modelNum, 8);
    for (int32_t m = 1; m < set.modelNum; ++m) EXPECT_LT(strcmp(set.model[m - 1].name, set.model[m].name), 0);
    EXPECT_EQ(set.model[trainer.modelIndex("sp")].stateNum, 3);
    EXPECT_EQ(set.model[trainer.modelIndex("a1")].stateNum, 5);

    qv::trainItem item;
    item.units = {"ka1", "ka2"};
    qv::trainUtterance u;
    std::string missing;
    ASSERT_TRUE(qv::itemModels(item, dict, trainer, u, missing));
    const std::vector<int32_t> want = {trainer.modelIndex("sil"), trainer.modelIndex("k+a"), trainer.modelIndex("a1"),
                                       trainer.modelIndex("k+a"), trainer.modelIndex("a2"), trainer.modelIndex("sil")};
    EXPECT_EQ(u.models, want);
    EXPECT_EQ(u.spAfter, (std::vector<uint8_t>{0, 0, 1, 0, 0, 0}));  // between syllables only

    item.units = {"ka1", "xyz9"};
    EXPECT_FALSE(qv::itemModels(item, dict, trainer, u, missing));
    EXPECT_EQ(missing, "xyz9");
}

TEST_F(TrainTest, PosteriorsSumToOneAndShortestPathSkipsSp) {
    synthCorpus c = makeCorpus(12);
    trainer.flatStart(c.utts);
    for (double beam : {2000.0, 30.0}) {
        trainer.config().beam = beam;
        for (const qv::trainUtterance& u : c.utts) {
            std::vector<double> gamma;
            std::vector<int32_t> cm;
            std::vector<int> cs;
            const double P = trainer.forwardBackward(u, gamma, cm, cs);
            ASSERT_GT(P, qv::LOG_ZERO);
            const size_t N = cm.size();
            for (int t = 0; t < u.frameNum; ++t) {
                double sum = 0.0;
                for (size_t j = 0; j < N; ++j) sum += gamma[t * N + j];
                ASSERT_NEAR(sum, 1.0, 1e-6) << "frame " << t << " beam " << beam;
            }
            EXPECT_GT(gamma[0], 0.999);                          // starts in sil's first state
            EXPECT_GT(gamma[(u.frameNum - 1) * N + N - 1], 0.999);  // ends in sil's last state
        }
    }
    // Exactly one frame per emitting state: only possible when sp and both
    // sils are skipped (6 frames for the two sils when they are obligatory).
    trainer.config().beam = 2000.0;
    qv::trainUtterance u = c.utts[2];
    ASSERT_EQ(u.models.size(), 6u);
    std::vector<double> gamma;
    std::vector<int32_t> cm;
    std::vector<int> cs;
    for (bool silOptional : {true, false}) {
        trainer.config().silSkipLogProb = silOptional ? -0.693147 : -INFINITY;
        const int shortest = silOptional ? 12 : 18;
        u.frameNum = shortest;
        EXPECT_GT(trainer.forwardBackward(u, gamma, cm, cs), qv::LOG_ZERO) << silOptional;
        u.frameNum = shortest - 1;
        EXPECT_EQ(trainer.forwardBackward(u, gamma, cm, cs), qv::LOG_ZERO) << silOptional;
    }
}

// Recordings cut right at the speech: the sils are skipped, not forced onto speech.
TEST_F(TrainTest, SpeechWithoutSilenceSkipsSil) {
    synthCorpus c = makeCorpus(30);
    trainer.flatStart(c.utts);
    trainer.segmentalStart(c.utts);
    for (int it = 0; it < 4; ++it) trainer.iterate(c.utts);
    std::mt19937 rng(3);
    std::vector<float> f;
    appendFrames(f, phoneMean("k+a"), 7, rng);
    appendFrames(f, phoneMean("a1"), 7, rng);
    qv::trainUtterance u = c.utts[0];  // "ka1"
    u.fea = f.data();
    u.frameNum = 14;
    std::vector<double> gamma;
    std::vector<int32_t> cm;
    std::vector<int> cs;
    ASSERT_GT(trainer.forwardBackward(u, gamma, cm, cs), qv::LOG_ZERO);
    const size_t N = cm.size();
    double silOcc = 0.0;
    for (int t = 0; t < u.frameNum; ++t)
        for (size_t j = 0; j < N; ++j)
            if (cm[j] == trainer.modelIndex("sil")) silOcc += gamma[t * N + j];
    EXPECT_LT(silOcc, 0.5);
}

// Silence found by the energy column is kept in the sil at that end, even
// where the speech models would fit the frames better.
TEST_F(TrainTest, MarkedSilenceStaysInSil) {
    std::vector<float> e(65 * kDim, 0.0f);
    for (int t = 0; t < 65; ++t) e[t * kDim + 12] = (t >= 20 && t < 50) ? 1.0f : (t == 5 ? 0.9f : 0.1f);
    int32_t lead = -1, trail = -1;
    qv::silenceMarks(e.data(), 65, kDim, 12, lead, trail);
    EXPECT_EQ(lead, 17);   // speech from frame 20, less the 3-frame margin; a lone click is no speech
    EXPECT_EQ(trail, 12);  // speech to frame 49
    qv::silenceMarks(e.data(), 65, kDim, 40, lead, trail);
    EXPECT_EQ(lead + trail, 0);  // no such column: no marks

    synthCorpus c = makeCorpus(12);
    trainer.flatStart(c.utts);
    trainer.segmentalStart(c.utts);
    trainer.iterate(c.utts);
    for (int32_t mark : {0, 11}) {
        qv::trainUtterance u = c.utts[0];  // 8 sil frames, then speech
        u.silLead = mark;
        u.silTrail = mark;
        std::vector<double> gamma;
        std::vector<int32_t> cm;
        std::vector<int> cs;
        ASSERT_GT(trainer.forwardBackward(u, gamma, cm, cs), qv::LOG_ZERO);
        const size_t N = cm.size();
        double leadSil = 0.0, trailSil = 0.0;
        for (int t = 0; t < 11; ++t)
            for (size_t j = 0; j < 3; ++j) leadSil += gamma[t * N + j];
        for (int t = u.frameNum - 11; t < u.frameNum; ++t)
            for (size_t j = N - 3; j < N; ++j) trailSil += gamma[t * N + j];
        if (mark) {
            EXPECT_NEAR(leadSil, 11.0, 1e-6);
            EXPECT_NEAR(trailSil, 11.0, 1e-6);
        } else {
            EXPECT_LT(leadSil, 10.0);  // unmarked, the speech takes its own frames
        }
    }
}

TEST_F(TrainTest, LikelihoodRisesAndModelsLearnTheirPhones) {
    synthCorpus c = makeCorpus(40);
    trainer.flatStart(c.utts);
    EXPECT_EQ(trainer.segmentalStart(c.utts), 40);
    double last = -1e300;
    for (int it = 0; it < 6; ++it) {
        const qv::trainStats st = trainer.iterate(c.utts);
        EXPECT_EQ(st.failed, 0);
        const double perFrame = st.logLik / st.frames;
        EXPECT_GE(perFrame, last - 1e-9) << "iteration " << it;
        last = perFrame;
    }
    const qv::macroClass& set = trainer.set();
    for (const char* name : {"k+a", "a1", "a2", "sil"}) {
        const qv::hmmModel& m = set.model[trainer.modelIndex(name)];
        for (int s = 0; s < 3; ++s)
            EXPECT_NEAR(m.state[s].stream[0].mixture[0].mean[0], phoneMean(name), 0.5) << name << " state " << s;
    }
    // Garbage models: fillerC from the initial, fillerV from both finals.
    EXPECT_NEAR(set.model[trainer.modelIndex("fillerC")].state[1].stream[0].mixture[0].mean[0], 6.0, 0.5);
    const float v = set.model[trainer.modelIndex("fillerV")].state[1].stream[0].mixture[0].mean[0];
    EXPECT_GT(v, -5.0);
    EXPECT_LT(v, 3.0);
    // The pause between syllables went to sp, i.e. to sil's tied middle state.
    EXPECT_GT(trainer.stateOcc(trainer.modelIndex("sp"), 0), trainer.stateOcc(trainer.modelIndex("sil"), 0));

    // Tone test: ka1 against ka2 and back; two-syllable items are not counted.
    const qv::toneEvalResult r = qv::evalTones(trainer, dict, c.items, c.fea, c.frameNum, 2);
    EXPECT_EQ(r.tested, 27);
    EXPECT_EQ(r.correct, 27);
    EXPECT_EQ(r.confusion[1][1] + r.confusion[2][2], 27);

    // Two threads and one give the same statistics (fixed partition).
    qv::hmmTrainer one = trainer;
    one.config().threads = 1;
    const qv::trainStats a = one.iterate(c.utts);
    const qv::trainStats b = trainer.iterate(c.utts);
    EXPECT_NEAR(a.logLik, b.logLik, 1e-6 * std::fabs(a.logLik));
}

TEST_F(TrainTest, SplittingDoublesMixturesWhereDataAllowAndKeepsWeightsNormalised) {
    synthCorpus c = makeCorpus(40);
    trainer.flatStart(c.utts);
    trainer.iterate(c.utts);
    trainer.config().minMixOcc = 1e9;  // no state has enough data
    EXPECT_EQ(trainer.splitMixtures(2), 3 * 3 * 3 * 7);  // only the 3 garbage models split (to 8)
    trainer.config().minMixOcc = 1.0;
    trainer.splitMixtures(2);
    const qv::macroClass& set = trainer.set();
    const qv::hmmModel& a1 = set.model[trainer.modelIndex("a1")];
    for (int s = 0; s < 3; ++s)
        for (int k = 0; k < 3; ++k) {
            const qv::hmmStream& str = a1.state[s].stream[k];
            ASSERT_EQ(str.mixtureNum, 2);
            EXPECT_NEAR(str.mixture[0].weight + str.mixture[1].weight, 1.0, 1e-6);
            EXPECT_NE(str.mixture[0].mean[0], str.mixture[1].mean[0]);
        }
    const double before = trainer.iterate(c.utts).logLik;
    const double after = trainer.iterate(c.utts).logLik;
    EXPECT_GE(after, before - 1e-6 * std::fabs(before));
    for (int32_t m = 0; m < set.modelNum; ++m)
        for (int s = 0; s < set.model[m].stateNum - 2; ++s)
            for (int k = 0; k < 3; ++k) {
                double w = 0.0;
                for (int j = 0; j < set.model[m].state[s].stream[k].mixtureNum; ++j)
                    w += set.model[m].state[s].stream[k].mixture[j].weight;
                EXPECT_NEAR(w, 1.0, 1e-5) << set.model[m].name;
            }
}

TEST_F(TrainTest, WrittenModelsReadBackWithTheSameLikelihoods) {
    synthCorpus c = makeCorpus(30);
    trainer.flatStart(c.utts);
    trainer.iterate(c.utts);
    trainer.config().minMixOcc = 1.0;
    trainer.splitMixtures(2);
    trainer.iterate(c.utts);
    for (const char* ext : {".mac", ".macb"}) {
        const std::string path = dir.file(std::string("m") + ext);
        trainer.write(path);
        qv::macroClass back;
        back.readMacro(path, true);
        ASSERT_EQ(back.modelNum, trainer.set().modelNum);
        for (int32_t m = 0; m < back.modelNum; ++m) {
            EXPECT_STREQ(back.model[m].name, trainer.set().model[m].name);
            ASSERT_EQ(back.model[m].stateNum, trainer.set().model[m].stateNum);
            for (int s = 0; s < back.model[m].stateNum - 2; ++s)
                for (int t = 0; t < c.utts[0].frameNum; t += 5) {
                    const float* x = c.utts[0].fea + t * kDim;
                    const double want = trainer.stateLogLik(m, s, x);
                    EXPECT_NEAR(preparedLogLik(back, m, s, x), want, 1e-3 * std::max(1.0, std::fabs(want)))
                        << ext << " " << back.model[m].name << " state " << s;
                }
        }
        // Loaded back into a trainer, the set scores as before.
        qv::hmmTrainer again;
        again.loadModels(path);
        const float* x = c.utts[1].fea + 10 * kDim;
        for (int32_t m = 0; m < back.modelNum; ++m)
            EXPECT_NEAR(again.stateLogLik(m, 0, x), trainer.stateLogLik(m, 0, x), 1e-3 * std::fabs(trainer.stateLogLik(m, 0, x)));
        // sp is written as a copy of sil's middle state.
        const qv::hmmModel& sp = back.model[back.findModelIndex("sp")];
        const qv::hmmModel& sil = back.model[back.findModelIndex("sil")];
        EXPECT_EQ(sp.state[0].stream[0].mixture[0].mean[0], sil.state[1].stream[0].mixture[0].mean[0]);
    }
}

TEST(TrainData, ListsDictionaryNamesAndFeatureCache) {
    qvtest::ScratchDir dir;
    qvtest::writeFile(dir.file("t.pam"), "% c\na1\ta1\nba1\tb+a a1\nsil\tsil\n");
    EXPECT_EQ(qv::dictModelNames(dir.file("t.pam")), (std::vector<std::string>{"a1", "b+a", "sil"}));

    // One second of a tone, written as a 16 kHz wave.
    std::vector<int16_t> pcm(16000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(3000 * std::sin(i * 0.05) + (i % 7) * 30);
    qv::CWave wave(1, 16000, 16);
    std::vector<int32_t> samples(pcm.begin(), pcm.end());
    wave.setSamples(samples.data(), static_cast<int32_t>(samples.size()));
    ASSERT_TRUE(wave.save(dir.file("a.wav")));
    qvtest::writeFile(dir.file("list"), "# comment\n" + dir.file("a.wav") + "\tba1  a1\n\n" + dir.file("none.wav") +
                                            "\ta1\n");
    const std::vector<qv::trainItem> items = qv::readTrainList(dir.file("list"));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].units, (std::vector<std::string>{"ba1", "a1"}));

    const std::string cfg = std::string(QV_SOURCE_DIR) + "/telvoDataChinese/mfcc.cfg";
    std::vector<std::vector<float>> fea, cached;
    std::vector<int32_t> frames, frames2;
    std::vector<std::string> failed, failed2;
    int32_t dim = 0, dim2 = 0;
    qv::loadTrainFeatures(items, cfg, dir.path(), 2, fea, frames, dim, failed);
    EXPECT_EQ(dim, 39);
    EXPECT_EQ(frames[0], 99);
    ASSERT_EQ(failed.size(), 1u);  // the missing file, reported, not fatal
    EXPECT_EQ(frames[1], 0);
    qv::loadTrainFeatures(items, cfg, dir.path(), 1, cached, frames2, dim2, failed2);
    EXPECT_EQ(cached[0], fea[0]);

    // The cache holds the same features the front end computes directly.
    std::vector<float> direct;
    int32_t n = 0, d = 0;
    qv::computeTrainFeatures(dir.file("a.wav"), cfg, direct, n, d);
    EXPECT_EQ(direct, fea[0]);

    qvtest::writeFile(dir.file("bad"), "no tab here\n");
    EXPECT_THROW(qv::readTrainList(dir.file("bad")), qv::FatalError);
}

}  // namespace
