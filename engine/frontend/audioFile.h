// Audio input and preparation: reads a WAV, FLV or headerless 16-bit file and
// turns it into the signal the rest of the engine works on — one channel of
// 32-bit samples at 16000 Hz in the 16-bit range, level-checked, optionally
// cleaned by spectral subtraction, free of DC.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/recogTask.h"

namespace qv {

// A recording in memory: one value per sample, mono. sampleNum always equals
// signal.size().
struct waveSignal {
    std::vector<int32_t> signal;
    int32_t sampleNum = 0;
    int32_t fs = 0;     // sample rate in Hz
    int32_t nbits = 0;  // bits per sample of the value range
};

// The audio one run accepts: the rates it resamples from and a length that
// keeps the run within the memory budget of docs/limits.md. A file larger
// than MAX_AUDIO_FILE_BYTES (the longest recording at the highest rate, as
// 16-bit stereo, plus room for headers) is refused before it is read.
constexpr int MIN_AUDIO_FS = 4000;
constexpr int MAX_AUDIO_FS = 48000;
constexpr int MAX_AUDIO_SECONDS = 600;
constexpr long MAX_AUDIO_FILE_BYTES = static_cast<long>(MAX_AUDIO_SECONDS) * MAX_AUDIO_FS * 4 + (1L << 20);

// Verdicts of waveVolumeCheck.
enum waveVolumeCode {
    VOLUME_NORMAL = 0,
    VOLUME_MAX_TOO_SMALL = 1,
    VOLUME_MIN_TOO_BIG = 2,
    VOLUME_SATURATED = 3,
};

// Chooses the reader by the last three characters of the path ("wav"/"WAV",
// "flv"/"FLV", "raw"/"RAW"; anything else is a fatal error) and returns the
// signal with the file's own rate and width. A file without samples is fatal.
waveSignal readAudioFile(const std::string& path);

// RIFF WAVE reader (8-bit data with its offset of 128 removed, -128..127;
// 16-bit as signed; mu-law is decoded to 16 bits by the wave object). Several
// channels are mixed down to their mean. Other widths are a fatal error.
waveSignal readWaveFile(const std::string& path);

// Headerless signed 16-bit little-endian samples; fs 16000, nbits 16.
waveSignal readRawFile(const std::string& path);

// The same readers over a file image in memory; `source` names it in messages.
waveSignal readWaveBytes(const std::vector<uint8_t>& bytes, const std::string& source);
waveSignal readRawBytes(const std::vector<uint8_t>& bytes);

// Width to 16 bits, rate to 16000 Hz, level check (verdict written to
// "<outputDir>/waveVolumeCheck.txt" unless outputDir is empty; a bad verdict
// with useWaveReject is fatal), spectral subtraction when asked and the
// recording's dynamic range is low (then useDescCandidateNum becomes 0), DC
// removal. sampleNum, fs and nbits are updated. Signals shorter than one
// 320-sample analysis frame are a fatal error. Returns the level verdict
// (a waveVolumeCode).
int prepareWave(std::vector<int32_t>& signal, int32_t& sampleNum, int32_t& fs, int32_t& nbits, recogParam& prm);
int prepareWave(waveSignal& wave, recogParam& prm);

// Level verdict of a 16 kHz signal (a waveVolumeCode). At least one 320-sample
// frame is required (fatal otherwise).
int waveVolumeCheck(const int32_t* signal, int sampleNum);

// The verdict text of a code, as written to the verdict file and raised on
// rejection.
std::string waveVolumeText(int code);

// Share of the speech (the frames that are not silent) taken by runs of at
// least 3 samples at full scale; waveVolumeCheck calls 0.1 % or more clipped.
double clippedShare(const int32_t* signal, int sampleNum);

// Seconds of a 16 kHz signal that stand out as sound: 10 ms hops of 20 ms
// frames louder than both the quiet level of the level check and four times
// the recording's background (its tenth-quietest frame).
double speechSeconds(const int32_t* signal, int sampleNum);

// The verdict of a code as a warning for the user (empty for a normal level).
std::string levelWarning(int code, const int32_t* signal, int sampleNum);

// Output length of resampling n samples from inFs to outFs:
// floor((n - 1) * outFs / inFs) + 1, or 0 for no input.
int resampleLength(int inNum, int inFs, int outFs);

// Linear interpolation; the first and last samples are kept exactly. out must
// hold outNum values.
void resampleLinear(const int32_t* in, int inNum, int inFs, int outFs, int32_t* out, int outNum);

// Power spectral subtraction with the noise spectrum estimated from the first
// quarter second (512-point Hamming frames, hop 205 at 16 kHz, overlap-add).
// Returns the new samples; a signal without one whole frame is returned as is.
std::vector<int32_t> specSubtraction(const int32_t* signal, int sampleNum, int fs);

}  // namespace qv
