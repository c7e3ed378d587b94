// Frame-based measures shared by the front end (framing, frame volume,
// high-order difference), the end-point detector that cuts a recording down
// to its spoken part, and the radix-2 FFT used by spectral subtraction and the
// filterbank.
//
// Frame geometry: a frame of frameSize samples starts every
// frameSize - overlap samples; n samples hold
// (n - overlap) / (frameSize - overlap) whole frames (integer division).
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

// Parameters of the end-point detector; they follow from the sample rate and
// are not read from any file.
struct epdParam {
    int32_t frameSize;  // fs / 62.5: 256 samples (16 ms) at 16 kHz
    int32_t overlap;    // 0
    int32_t volRatio;   // divisor of the threshold step
    int32_t hodOrder;   // order of the high-order difference
    float minSegment;   // seconds; segments this short or shorter are dropped
    float maxGap;       // seconds; a trailing segment further away is dropped

    explicit epdParam(int fs = 16000);
};

// One stretch of speech in detector frames; endFrame is inclusive.
struct epdSegment {
    int32_t beginFrame;
    int32_t endFrame;
    int32_t duration;  // endFrame - beginFrame + 1
    int32_t valid;     // 1 or 0
};

// Number of whole frames in n samples; never negative. A hop (frameSize -
// overlap) below 1 is a fatal error.
int getFrameNum(int n, int frameSize, int overlap);

// One volume per frame into volume[0 .. getFrameNum(n, frameSize, overlap)-1]:
//   method 1: sum of |x - median| over the frame (median of an even-length
//             frame = truncated integer mean of the two middle values);
//   method 2: sum of (x - mean)^2 with the truncated integer mean;
//   method 3: method 2's sum, natural log truncated to an integer, INT32_MIN
//             for a sum of 0.
// Sums are accumulated in 64 bits; method 2 saturates at INT32_MAX. Any other
// method is a fatal error. The signal is not reordered.
void frameVolume(const int32_t* signal, int n, int frameSize, int overlap, int32_t* volume, int method);
std::vector<int32_t> frameVolume(const int32_t* signal, int n, int frameSize, int overlap, int method);

// High-order difference per frame: sum over i of |sum_j c_j x[i+j]| with the
// binomial coefficients of the order (1 to 5; others are a fatal error).
void frameHod(const int32_t* signal, int n, int frameSize, int overlap, int32_t* hod, int order);
std::vector<int32_t> frameHod(const int32_t* signal, int n, int frameSize, int overlap, int order);

// Runs of 1 in a 0/1 flag per frame, each marked valid. Fewer than two flags
// give no segment.
std::vector<epdSegment> findSegments(const int32_t* flags, int count);

// End-point detection: the valid speech segments, in time order. A signal
// shorter than two detector frames gives none.
std::vector<epdSegment> epd(const int32_t* signal, int n, int fs, const epdParam& prm);

// Feature-frame span of the samples to analyse, on the 10 ms grid of 320-
// sample frames every 160 samples. With useEpd the detector's first and last
// segments bound it; without useEpd, or when the detector finds no valid
// segment, the whole signal is used. Returns whether the detector's segments
// were used.
struct epdRange {
    int32_t waveBeginIndex = 0;
    int32_t waveEndIndex = 0;  // inclusive, never beyond sampleNum - 1
    int32_t waveBeginFrameId = 0;
    int32_t waveEndFrameId = 0;
};
bool epdFeatureRange(const int32_t* signal, int sampleNum, int fs, bool useEpd, epdRange& range);

// In-place radix-2 complex FFT (bit reversal, then butterflies with twiddles
// advanced by the trigonometric recurrence). inverse = false uses
// exp(-i pi/m) steps, true exp(+i pi/m); no scaling either way. Sizes that are
// not a power of two (or below 2) leave the data unchanged.
void fftRadix2(float* re, float* im, int n, bool inverse);

}  // namespace qv
