// Embedded Baum-Welch training of the phone HMMs the engine reads.
//
// The model set is a macroClass in raw form (weights, variances and
// transition probabilities as in the files), sorted by name so that the
// engine's lookups and the dictionary's model indices apply unchanged. Every
// model has 3 emitting states left to right (5 HTK states) except "sp", which
// has one emitting state tied to the middle state of "sil": its statistics
// are pooled with that state's and it is written as a copy of it. Each
// emitting state has one diagonal Gaussian mixture per stream; a state's
// output log-likelihood is the sum of its streams' log mixture densities.
//
// One utterance is the model sequence [sil], <models of unit 1>, [sp],
// <models of unit 2>, ..., [sil]: "sp" between units and "sil" at either end
// are optional. The forward-
// backward pass runs in the log domain over that composite HMM with a beam
// on both passes; the garbage models fillerC, fillerV and filler learn from
// the same state posteriors (states of initials, of finals, and of both) with
// their own mixture posteriors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/models/macro.h"

namespace qv {

// Features of one training utterance and its model sequence (indices into
// the model set, "sil" at both ends; optional "sp" marked separately).
struct trainUtterance {
    std::string name;
    const float* fea = nullptr;  // frameNum x 39 values, row-major
    int32_t frameNum = 0;
    std::vector<int32_t> models;       // in order
    std::vector<uint8_t> spAfter;      // 1: an optional sp may follow models[i]
    // Frames at the start and end known to be silence (from their energy):
    // only the sil at that end may take them.
    int32_t silLead = 0, silTrail = 0;
};

struct trainConfig {
    int threads = 2;
    double beam = 2000.0;          // log-domain pruning width of both passes
    double varFloorScale = 0.01;   // variance floor = scale x global variance
    double minMixOcc = 40.0;       // frames a mixture must keep to be split off
    double minStateOcc = 3.0;      // states with less data keep their values
    double spLogProb = -0.693147;  // log probability of taking the optional sp
    // Log probability of skipping the leading (and, alike, the trailing) sil:
    // some recordings are cut right at the speech. -inf makes sil obligatory.
    double silSkipLogProb = -0.693147;
};

// Totals of one iteration over all utterances.
struct trainStats {
    double logLik = 0.0;    // sum over the utterances that aligned
    int64_t frames = 0;     // their frames
    int32_t aligned = 0;
    int32_t failed = 0;     // too short for their models or lost in the beam
};

class hmmTrainer {
public:
    // Allocates the models named (any order; duplicates are dropped) with
    // zero parameters; "sil" and "sp" must be among them. streams x width
    // must be the feature dimension (3 x 13 for MFCC_E_D_A).
    void defineModels(const std::vector<std::string>& names, int streams = 3, int width = 13);

    // Reads a model set written by write() (either format) to train further
    // or to evaluate; variance floors are then zero.
    void loadModels(const std::string& path);

    // Flat start: every state of every model gets one Gaussian per stream
    // with the global mean and variance of all frames; "sil" gets those of
    // the first and last edgeFrames frames of each utterance. Sets the
    // variance floor from the global variance. Transitions: 0.6 stay.
    void flatStart(const std::vector<trainUtterance>& utts, int edgeFrames = 10);

    // After flatStart: one re-estimation from a hard uniform segmentation of
    // each utterance (sil's three states over the first and last edgeFrames
    // frames, at most a quarter of the utterance each; the other states of
    // the sequence, sp left out, share the frames between evenly). From
    // identical starting states alone, Baum-Welch on isolated syllables
    // tends to let a final's first state take the initial's frames.
    // Returns the number of utterances used.
    int32_t segmentalStart(const std::vector<trainUtterance>& utts, int edgeFrames = 10);

    // One Baum-Welch iteration over all utterances (config.threads threads,
    // a fixed partition, so results do not depend on scheduling).
    trainStats iterate(const std::vector<trainUtterance>& utts);

    // Raises the mixture count of every stream of every state towards
    // `target` (at most MAX_MIXTURE_NUM) by splitting the heaviest mixture
    // (means moved by +-0.2 standard deviations), as far as the state's
    // occupancy of the last iteration allows minMixOcc frames per mixture
    // (garbage models are not limited by occupancy and go up to 4 x target). Returns the number of mixtures added.
    int splitMixtures(int target);

    // Log-likelihood of frame x for emitting state s of model m (raw set).
    double stateLogLik(int32_t m, int s, const float* x) const;

    // Forward-backward over one utterance: fills gamma (frameNum x composite
    // states) with state posteriors and returns the log-likelihood, or
    // LOG_ZERO when the utterance cannot be aligned. compositeModels gets the
    // model of each composite state and compositeStates its emitting state.
    double forwardBackward(const trainUtterance& u, std::vector<double>& gamma,
                           std::vector<int32_t>& compositeModels, std::vector<int>& compositeStates) const;

    // Writes the set (".mac" or ".macb" by extension) after refreshing the
    // tied "sp" state and every <GCONST>.
    void write(const std::string& path);

    int32_t modelIndex(const std::string& name) const;
    macroClass& set() { return m_set; }
    const macroClass& set() const { return m_set; }
    trainConfig& config() { return m_cfg; }
    // Occupancy (frames) of emitting state s of model m in the last iteration.
    double stateOcc(int32_t m, int s) const;

private:
    struct accum;
    struct composite;
    void buildComposite(const trainUtterance& u, composite& c) const;
    double fbCore(const trainUtterance& u, composite& c, std::vector<double>& b, std::vector<double>& alpha,
                  std::vector<double>& beta) const;
    double runUtterance(const trainUtterance& u, accum& acc) const;
    void accumulateFrame(int32_t m, int s, const float* x, double post, accum& acc) const;
    void update(const accum& acc);
    void indexModels();
    void syncTiedStates();  // also refreshes the likelihood cache
    void refreshCache();
    // Log mixture density of stream k of physical state ps; per-mixture
    // terms into logs when given.
    double streamLogLik(int ps, int k, const float* xs, double* logs) const;
    int physicalState(int32_t m, int s) const;
    bool isGarbage(int32_t m) const;

    macroClass m_set;
    trainConfig m_cfg;
    int32_t m_sil = -1, m_sp = -1, m_filler = -1, m_fillerC = -1, m_fillerV = -1;
    std::vector<int8_t> m_kind;            // per model: 0 other, 1 initial, 2 final
    std::vector<double> m_varFloor;        // per stream x width
    std::vector<double> m_stateOcc;        // per model x 3
    // Per mixture slot: log weight - gconst / 2 (-inf for an empty slot) and
    // the inverse variances, so that a density costs no division or log.
    std::vector<double> m_logConst;
    std::vector<float> m_invVar;
};

}  // namespace qv
