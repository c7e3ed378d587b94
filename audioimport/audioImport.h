// Recordings as users have them, turned into what the engine reads. The
// engine's own reader knows 16-bit (and 8-bit, mu-law) WAV, its FLV and
// headerless 16 kHz files; users bring float and 24-bit WAV, A-law, FLAC,
// Ogg, MP3, stereo and any rate, under names like "a.Wav". This unit decodes
// them with libsndfile, mixes the channels down to their mean, resamples with
// libsoxr to the rate the data set's features are made at, and writes a
// 16-bit mono WAV for the engine. Files the engine reads as they are pass
// through untouched, so their results do not change.
//
// Failures are the utilities' fatal error of kind UnreadableAudio, with a
// message that names the file and what is wrong with it; they write no error
// log (the caller reports them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// What the user's file was, and the file the engine should read.
struct importedAudio {
    std::string path;        // the original file, or the converted copy
    bool converted = false;  // path is the converted copy
    std::string format;      // e.g. "FLAC, 24-bit, 2 channels, 44100 Hz"
    double seconds = 0;      // length of the recording
    int fileRate = 0;        // the file's own sample rate
    int rate = 0;            // the rate the engine reads it at
};

// The sample rate a feature configuration file's SOURCERATE (100 ns units)
// asks for; 16000 when it names none.
int featureSampleRate(const std::string& cfgFile);

// Decodes any file libsndfile reads to one channel at `rate`, in the 16-bit
// range (values -32768..32767, rounded and clipped). `format` receives the
// file's description when not null. Recordings longer than the engine
// accepts are refused before they are decoded.
std::vector<int16_t> decodeAudio(const std::string& path, int rate, std::string* format = nullptr);

// The file the engine should read for `path`: the file itself when it is a
// 16-bit mono PCM WAV at `rate`, an FLV, or a headerless .raw (all under a
// name ending in an extension the engine's reader knows); otherwise
// decodeAudio's samples written to "<dir>/recording.wav".
importedAudio importAudio(const std::string& path, int rate, const std::string& dir);

}  // namespace qv
