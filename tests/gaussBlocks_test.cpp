#include "engine/models/gaussBlocks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "engine/models/viterbi.h"
#include "engine/utility.h"

using namespace qv;

namespace {

// Three streams of width 13; states with 1, 3, 4, 5 and 32 mixtures (blocks
// full, partly full and many), slots of zero weight and of negligible
// weight, and one stream that has no usable mixture at all.
void buildSet(macroClass& set) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f), v(0.2f, 4.0f);
    set.streamNum = 3;
    for (int k = 0; k < 3; ++k) set.streamWidth[k] = 13;
    set.allocModels(4);
    const int mixes[4][3] = {{1, 3, 4}, {5, 32, 2}, {4, 4, 4}, {16, 1, 7}};
    for (int m = 0; m < 4; ++m) {
        hmmModel& h = set.model[m];
        macroClass::setModelName(h, std::string(1, static_cast<char>('a' + m)));
        h.stateNum = 5;
        for (int s = 0; s < 3; ++s) {
            for (int k = 0; k < 3; ++k) {
                hmmStream& st = h.state[s].stream[k];
                h.state[s].streamWeight[k] = 1.0f;
                st.mixtureNum = mixes[(m + s) % 4][k];
                for (int j = 0; j < st.mixtureNum; ++j) {
                    hmmMixture& g = st.mixture[j];
                    g.weight = st.mixtureNum == 1 ? 1.0f : (j % 5 == 3 ? 0.0f : (j % 7 == 2 ? 1e-6f : 0.3f));
                    if (m == 2 && s == 1 && k == 2) g.weight = 0.0f;  // no usable mixture
                    for (int d = 0; d < 13; ++d) {
                        g.mean[d] = u(rng);
                        g.var[d] = v(rng);
                    }
                    g.gconst = macroClass::computeGconst(g.var, 13);
                }
            }
            h.transP[s + 1][s + 1] = 0.5f;
            h.transP[s + 1][s + 2] = 0.5f;
        }
        h.transP[0][1] = 1.0f;
    }
    set.prepareModels();
}

}  // namespace

TEST(GaussBlocks, StateValuesMatchOneGaussianAtATime) {
    macroClass set;
    buildSet(set);
    ASSERT_NE(set.gaussBlocks(), nullptr);
    std::mt19937 rng(11);
    std::normal_distribution<float> n(0.0f, 2.0f);
    float worst = 0.0f;
    for (int frame = 0; frame < 50; ++frame) {
        float x[39];
        for (float& c : x) c = n(rng) * (frame % 10 == 9 ? 8.0f : 1.0f);  // some far-off frames too
        for (int m = 0; m < set.modelNum; ++m)
            for (int s = 0; s < 3; ++s) {
                const float ref = viterbiClass::stateLogProbOneByOne(x, set, m, s);
                const float got = set.gaussBlocks()->stateLogLike(x, m, s);
                if (m == 2 && s == 1) {
                    EXPECT_LT(got, -5e9f);  // a stream without mixtures makes the state impossible
                    EXPECT_LT(ref, -5e9f);
                    continue;
                }
                worst = std::max(worst, std::fabs(got - ref) / std::max(1.0f, std::fabs(ref)));
            }
    }
    EXPECT_LT(worst, 1e-6f);
}

TEST(GaussBlocks, FollowChangesOnlyWhenLaidOutAgain) {
    macroClass set;
    buildSet(set);
    float x[39] = {};
    const float before = set.gaussBlocks()->stateLogLike(x, 0, 0);
    set.model[0].state[0].stream[0].mixture[0].gconst += 2.0f;
    EXPECT_EQ(set.gaussBlocks()->stateLogLike(x, 0, 0), before);
    set.layOutGaussians();
    EXPECT_NEAR(set.gaussBlocks()->stateLogLike(x, 0, 0), before - 1.0f, 1e-4f);
    // An unprepared set has none, and cannot be laid out.
    macroClass raw;
    EXPECT_EQ(raw.gaussBlocks(), nullptr);
    EXPECT_THROW(raw.layOutGaussians(), FatalError);
}
