// Pitch tracking for display beside the score: a per-frame average magnitude
// difference function (or autocorrelation), every lag in the allowed range a
// candidate, one lag per frame chosen by dynamic programming that rewards a
// low AMDF and penalises lag jumps. Pitch is in semitones (69 = 440 Hz).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct ptParam {
    int32_t fs = 16000;
    int32_t nbits = 16;
    int32_t frameSize = 640;
    int32_t overlap = 480;
    float minPitch = 30.0f;
    float maxPitch = 84.0f;
    int32_t ppcNum = 10;
    int32_t pfType = 1;  // 1 AMDF, 2 ACF
    int32_t indexDiffWeight = 11000;
    int32_t pfWeight = 1;
    int32_t dpMethod = 1;        // 1 lag difference, 2 difference in tenths of a semitone
    int32_t dpPosDiffOrder = 2;  // 1 absolute, otherwise squared
    int32_t dpUseLocalOptim = 0;
    float pitchRangeMax = 24.0f;
    float maxMedianPitchDiff = 20.0f;
    float maxAmdfLocalMinCount = 40.0f;
    float minAmdfRange = 1280.0f;
    float maxPitchDiff = 2.1875f;
    bool halfOfFs = false;
    bool halfOfNbits = false;
    int32_t volThresholding = 1;
    int32_t cutLeadingTrailingZero = 1;
};

// Fills the record for a sample rate, width and pitch-function type; warns
// when the frame is shorter than 32 ms.
void ptParamSet(ptParam& prm, int fs, int nbits, int pfType);
void ptParamPrint(const ptParam& prm);

// AMDF / ACF of one frame for lags 0 .. lagNum-1 (methods 1 to 4 differ in
// the summation range).
void frame2amdf(const int32_t* frame, int frameLen, double* out, int lagNum, int method);
void frame2acf(const int32_t* frame, int frameLen, double* out, int lagNum, int method, bool removeMean);

// One pitch per frame ((n - overlap) / (frameSize - overlap) frames), 0 where
// no lag was tracked. An all-zero signal gives all-zero pitch.
std::vector<double> pitchTracking(const int32_t* signal, int n, const ptParam& prm);

// Pitch and frame volume (method 1) written as one line of values each.
void pitchAndVolume(const int32_t* signal, int n, const ptParam& prm, const std::string& pitchPath,
                    const std::string& volumePath);

}  // namespace qv
