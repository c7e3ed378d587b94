// Tone of every aligned syllable: the pitch contour over its final (from the
// tone tracker, in semitones around the speaker's median so that a bass, a
// soprano and a child give one shape), its duration and energy, classified
// into tones 1-4 and the neutral tone (5) by a small network read from the
// tone model file.
//
// Features of a syllable (TONE_FEATURE_NUM, in this order):
//   0-4  mean pitch over five equal parts of the final's span (semitones
//        around the utterance median; unvoiced gaps bridged linearly)
//   5    slope of a line fitted to the contour (semitones per 100 ms)
//   6    curvature (quadratic coefficient over the span mapped to -1..1)
//   7    place of the lowest point (0 start .. 1 end)
//   8    range (highest - lowest, semitones)
//   9    share of voiced frames in the final
//   10   log of the final's length in frames
//   11   mean log frame volume minus the utterance's highest
//   12   the syllable's mean pitch minus the mean of its neighbours'
// The final's span is widened by up to kToneEdge frames on either side where
// those frames are voiced (the voiced edges of the neighbours).
//
// Model file (text, "%" starts a comment):
//   toneModel 1
//   weight W          share of the tone score in a syllable's score
//   features F        must be TONE_FEATURE_NUM
//   hidden H          1..256
//   classes 5
//   temperature T     posterior calibration (logits divided by T)
//   mean  F values    standardisation: (x - mean) / scale
//   scale F values
//   w1 H*F values     hidden = tanh(w1 x + b1), row-major by hidden unit
//   b1 H values
//   w2 5*H values     logits = w2 hidden + b2
//   b2 5 values
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

class mlfClass;

constexpr int TONE_CLASS_NUM = 5;
constexpr int TONE_FEATURE_NUM = 13;
constexpr int TONE_MAX_HIDDEN = 256;
constexpr int kToneEdge = 3;

using toneFeatureVec = std::array<float, TONE_FEATURE_NUM>;

class toneModelClass {
public:
    float weight = 0;
    float temperature = 1;
    int32_t hidden = 0;
    std::vector<float> mean, scale, w1, b1, w2, b2;

    // Fatal error on any line out of the format above, a count that does not
    // match, or a value that is not a finite number.
    void read(const std::string& path);
    // Posteriors of tones 1..5 (index 0..4).
    std::array<float, TONE_CLASS_NUM> posterior(const toneFeatureVec& x) const;
};

// Per-frame material of one utterance: frame t is the 10 ms feature frame t
// of the whole recording (centred on sample 160 t + 160 at 16 kHz).
struct toneUtterance {
    std::vector<float> semitone;  // around the median of voiced frames; NaN unvoiced
    std::vector<float> logVolume; // log(1 + volume) minus the utterance's highest
};

toneUtterance toneUtteranceOf(const int32_t* samples, int n, int fs, const std::vector<int32_t>& volume);

// Features of syllable span [sylFirst, sylLast] whose final is
// [finalFirst, finalLast] (frames of the whole recording); false when the
// span holds too few voiced frames to speak of a contour. Feature 12 is left
// 0 (it needs the neighbours: see toneScoreNodes).
bool toneFeaturesOf(const toneUtterance& u, int sylFirst, int sylLast, int finalFirst, int finalLast,
                    toneFeatureVec& out);

// The tone of a syllable name: its last character as 1..5, 0 when it has none.
int toneOfSyllable(const std::string& name);

// Tone step of a run: every scored node of firstNode..lastNode (frames of the
// whole recording, i.e. after shiftTime) gets its tone features, posteriors,
// the tone heard (the most likely) and its tone score
//   100 * posterior(expected) / posterior(heard)
// (100 when the expected tone is the one heard); its scores become
//   (1 - weight) * phone score + weight * tone score
// (each of the three scores). Nodes without a voiced contour or a toned name
// keep their scores and get toneScore -1.
void toneScoreNodes(mlfClass& result, int32_t firstNode, int32_t lastNode, const toneUtterance& u,
                    const toneModelClass& model);

// tone.txt: one line per scored node: name, expected, heard, posterior of the
// heard tone, tone score, the five posteriors and the features, tab-separated.
void writeToneFile(const mlfClass& result, const std::string& path);

}  // namespace qv
