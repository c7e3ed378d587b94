// The Gaussians of a prepared model set laid out for evaluation.
//
// Each stream of each emitting state becomes ceil(M / 4) blocks of four
// mixtures stored dimension-major (mean[d][lane], inverse variance[d][lane]),
// so that one vector instruction works on four Gaussians of the same
// coefficient. Lanes that hold no mixture, or a mixture whose log weight is
// -11.5 or less, get log weight -1e10 and zero mean and inverse variance:
// they can never raise a stream's value, so evaluation needs no branches.
//
// Per lane the log-density is accumulated coefficient by coefficient in the
// same order and with the same single-precision operations as a mixture at a
// time would be, so each Gaussian's value is bit-identical. The mixtures of a
// stream are then combined by one log-sum-exp (max plus the log of a sum of
// exponentials) instead of a chain of pairwise log-additions, which differs
// from the chain only by rounding (about 1e-7 of the value).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/models/macro.h"

namespace qv {

constexpr int GAUSS_LANES = 4;  // mixtures per block

struct gaussBlock {
    float mean[MAX_PARAM_NUM][GAUSS_LANES];
    float invVar[MAX_PARAM_NUM][GAUSS_LANES];
    float gconst[GAUSS_LANES];
    float logWeight[GAUSS_LANES];
};

class gaussBlockSet {
public:
    // Lays out every model of a prepared set (log weights, inverse variances).
    explicit gaussBlockSet(const macroClass& macro);

    int32_t modelNum() const { return m_modelNum; }
    // Sum over the streams of the stream log-likelihoods of feature vector x
    // (streamNum slices of the stream width) in emitting state `state` of
    // `model`. Indices must be in range (the caller checks them).
    float stateLogLike(const float* x, int32_t model, int32_t state) const;

private:
    struct streamRef {
        int32_t first = 0;   // first block
        int32_t blocks = 0;  // 0: the stream has no usable mixture
    };
    int32_t m_modelNum = 0;
    int32_t m_streamNum = 0;
    int32_t m_width[MAX_STREAM_NUM] = {};
    std::vector<streamRef> m_ref;  // model x MAX_STATE_NUM x MAX_STREAM_NUM
    std::vector<gaussBlock> m_block;
};

}  // namespace qv
