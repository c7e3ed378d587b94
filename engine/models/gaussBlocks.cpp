#include "engine/models/gaussBlocks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/utility.h"

namespace qv {

static const char* kUnit = "gaussBlocks";

namespace {

// exp(x) for x <= 0 in plain arithmetic the compiler can vectorise: 2^n by
// building the exponent bits, the rest by a degree-6 polynomial on
// |r| <= ln2/2 (relative error below 2e-7). Arguments below -87 give
// about 1.6e-38, which is 0 for any sum it is added to.
inline float expNonPositive(float x) {
    x = x < -87.0f ? -87.0f : x;
    const float t = x * 1.44269504088896341f - 0.5f;
    const int32_t n = static_cast<int32_t>(t);  // toward zero: round(x log2 e) for x <= 0
    const float fn = static_cast<float>(n);
    float r = x - fn * 0.693359375f;
    r = r - fn * -2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r * r + r + 1.0f;
    const int32_t bits = (n + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof(scale));
    return p * scale;
}

}  // namespace

gaussBlockSet::gaussBlockSet(const macroClass& macro) {
    if (!macro.isPrepared())
        fatalErrorF("Error: Gaussian blocks need a prepared model set (line %d of %s)", __LINE__, kUnit);
    if (macro.streamNum < 0 || macro.streamNum > MAX_STREAM_NUM ||
        static_cast<size_t>(std::max(macro.modelNum, 0)) > macro.model.size())
        fatalErrorF("Error: model set of %d models, %d streams does not fit its records (line %d of %s)",
                    macro.modelNum, macro.streamNum, __LINE__, kUnit);
    m_modelNum = macro.modelNum;
    m_streamNum = macro.streamNum;
    for (int k = 0; k < m_streamNum; ++k) m_width[k] = std::min(std::max(macro.streamWidth[k], 0), MAX_PARAM_NUM);

    size_t blockNum = 0;
    for (int32_t i = 0; i < m_modelNum; ++i)
        for (const hmmState& st : macro.model[i].state)
            for (int k = 0; k < m_streamNum; ++k) {
                const int mix = std::min(std::max(st.stream[k].mixtureNum, 0), MAX_MIXTURE_NUM);
                blockNum += static_cast<size_t>((mix + GAUSS_LANES - 1) / GAUSS_LANES);
            }
    m_block.reserve(blockNum);
    m_ref.assign(static_cast<size_t>(m_modelNum) * MAX_STATE_NUM * MAX_STREAM_NUM, streamRef{});

    for (int32_t i = 0; i < m_modelNum; ++i) {
        for (int s = 0; s < MAX_STATE_NUM; ++s) {
            const hmmState& st = macro.model[i].state[s];
            for (int k = 0; k < m_streamNum; ++k) {
                const hmmStream& stream = st.stream[k];
                const int mix = std::min(std::max(stream.mixtureNum, 0), MAX_MIXTURE_NUM);
                streamRef& ref = m_ref[(static_cast<size_t>(i) * MAX_STATE_NUM + s) * MAX_STREAM_NUM + k];
                ref.first = static_cast<int32_t>(m_block.size());
                bool any = false;
                for (int j0 = 0; j0 < mix; j0 += GAUSS_LANES) {
                    gaussBlock b{};
                    for (int l = 0; l < GAUSS_LANES; ++l) {
                        b.logWeight[l] = LOG_ZERO;
                        const int j = j0 + l;
                        if (j >= mix) continue;
                        const hmmMixture& g = stream.mixture[j];
                        if (g.weight <= -11.5f) continue;  // negligible weight: never evaluated
                        any = true;
                        b.logWeight[l] = g.weight;
                        b.gconst[l] = g.gconst;
                        for (int d = 0; d < m_width[k]; ++d) {
                            b.mean[d][l] = g.mean[d];
                            b.invVar[d][l] = g.var[d];
                        }
                    }
                    m_block.push_back(b);
                }
                if (!any) m_block.resize(static_cast<size_t>(ref.first));
                ref.blocks = static_cast<int32_t>(m_block.size()) - ref.first;
            }
        }
    }
}

float gaussBlockSet::stateLogLike(const float* x, int32_t model, int32_t state) const {
    const streamRef* ref = &m_ref[(static_cast<size_t>(model) * MAX_STATE_NUM + state) * MAX_STREAM_NUM];
    float total = 0.0f;
    for (int32_t k = 0; k < m_streamNum; ++k) {
        const int32_t w = m_width[k];
        const float* xs = x + static_cast<size_t>(w) * k;
        const int32_t nb = ref[k].blocks;
        if (nb == 0) {
            total += LOG_ZERO;
            continue;
        }
        const gaussBlock* blk = &m_block[static_cast<size_t>(ref[k].first)];
        float v[MAX_MIXTURE_NUM] = {};
        for (int32_t b = 0; b < nb; ++b) {
            const gaussBlock& g = blk[b];
            float sum[GAUSS_LANES] = {};
            for (int32_t d = 0; d < w; ++d) {
                const float xd = xs[d];
                for (int l = 0; l < GAUSS_LANES; ++l) {
                    const float diff = xd - g.mean[d][l];
                    sum[l] += diff * diff * g.invVar[d][l];
                }
            }
            for (int l = 0; l < GAUSS_LANES; ++l) v[b * GAUSS_LANES + l] = -0.5f * (g.gconst[l] + sum[l]) + g.logWeight[l];
        }
        const int32_t n = nb * GAUSS_LANES;
        float hi = v[0];
        for (int32_t j = 1; j < n; ++j) hi = v[j] > hi ? v[j] : hi;
        if (!(hi >= -5e9f)) {  // nothing likely (or a broken feature vector)
            total += std::isnan(hi) ? hi : LOG_ZERO;
            continue;
        }
        // The exponentials as a map (vectorised), then summed in order.
        float ex[MAX_MIXTURE_NUM];
        for (int32_t j = 0; j < n; ++j) ex[j] = expNonPositive(v[j] - hi);
        float e = 0.0f;
        for (int32_t j = 0; j < n; ++j) e += ex[j];
        total += hi + std::log(e);
    }
    return total;
}

}  // namespace qv
