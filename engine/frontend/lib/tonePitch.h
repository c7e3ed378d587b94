// Pitch tracking for tone: a fundamental frequency and a voicing decision
// every 10 ms, made to follow the contours tones are heard from (octave
// jumps avoided, creaky and short syllables kept). The display tracker in
// pitch.h keeps its own method and files.
//
// Method. The signal is low-passed and decimated to 8 kHz. Each frame's
// normalised cross-correlation (NCC) between a short window and the same
// window shifted by a lag gives the candidate lags: its local maxima in the
// allowed range, best first, refined by a parabola. Every frame also has an
// "unvoiced" candidate whose strength grows as the frame gets quieter. Dynamic
// programming over all frames picks one candidate per frame, maximising
//   sum of strengths - octaveJumpCost * |octaves between voiced neighbours|
//                    - voicedUnvoicedCost per voicing change,
// where a voiced strength is the NCC peak minus octaveCost per octave below
// maxF0 (a mild preference for the higher of two harmonically related
// peaks, which keeps sub-octave doubling of the lag away).
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

struct tonePitchParam {
    int32_t fs = 16000;          // rate of the samples handed in
    int32_t hop = 160;           // samples between frames (10 ms at 16 kHz)
    float minF0 = 60.0f;         // Hz
    float maxF0 = 500.0f;        // Hz
    float windowMs = 20.0f;      // correlation window
    int32_t candNum = 5;         // voiced candidates kept per frame
    float voicingThreshold = 0.5f;
    float silenceThreshold = 0.05f;  // frame peak relative to the recording's peak
    float octaveCost = 0.02f;
    float octaveJumpCost = 0.5f;
    float voicedUnvoicedCost = 0.2f;
};

// Defaults for a sample rate (hop 10 ms).
tonePitchParam tonePitchDefaults(int fs);

struct tonePitchTrack {
    // Frame t is centred on sample t * hop + hop; f0 is 0 where unvoiced.
    std::vector<float> f0;        // Hz
    std::vector<float> strength;  // NCC of the chosen lag (0 when unvoiced)
};

// One value per frame: frameNum = n / hop (at least 0).
tonePitchTrack tonePitchTracking(const int32_t* signal, int n, const tonePitchParam& prm);

}  // namespace qv
