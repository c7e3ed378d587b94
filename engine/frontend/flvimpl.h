// FLV audio input: walks the tags of an FLV file and decodes its Nellymoser
// Asao audio (64-byte blocks, 256 samples each) to 16-bit PCM.
//
// FLV layout (big-endian integers): a 9-byte header "FLV", version 1, flags,
// header length (ignored; the body starts at byte 9); then repeatedly a 4-byte
// previous-tag size (0 before the first tag, else 11 + previous data size), an
// 11-byte tag header (type, uint24 data size, uint24 timestamp + 1 extension
// byte, 3-byte stream id whose last two bytes must be 0) and the tag data.
// Audio tags (type 8) start with a format byte: high nibble sound format,
// bits 2-3 rate code, bit 1 sample-size flag (1: 16 bits), bit 0 stereo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

// Decoder of the Nellymoser Asao codec. Holds the overlap memory of the
// inverse transform between blocks, so one object decodes one stream.
class nellymoserDecoder {
public:
    static constexpr int BLOCK_BYTES = 64;
    static constexpr int BLOCK_SAMPLES = 256;

    nellymoserDecoder();
    // Decodes one 64-byte block into 256 float samples (16-bit scale).
    void decodeBlock(const uint8_t* block, float out[BLOCK_SAMPLES]);
    void reset();

private:
    float m_state[128];  // second half of the previous windowed transform output
};

// Converts a decoded float sample to 16 bits: saturates at the ends of the
// range, otherwise truncates toward zero.
int16_t nellySampleToInt16(float v);

// Reads the FLV file at `path` and returns its decoded Nellymoser audio.
// Out-parameters: sample rate in Hz, sample size (16, or 8 when the stream's
// flag says 8 bits), sample count (== returned size) and channel count.
//
// An empty result means the file held no usable audio (null path, unopenable,
// empty, not an FLV file, or no audio tags); the reason has been printed and
// the caller should stop the run with a fatal error. Corrupt tag structure, a
// non-Nellymoser stream and a format change mid-stream raise a fatal error
// (qv::FatalError) carrying "Corrupt file (<reason>)" or
// "stream is not Nellymoser".
std::vector<int16_t> readFlvFile(const char* path, int32_t& sampleRate, int32_t& sampleSize,
                                 int32_t& sampleNum, int32_t& channelNum);

// The same walk over an FLV image already in memory (used by readFlvFile).
std::vector<int16_t> decodeFlvBuffer(const uint8_t* data, size_t size, int32_t& sampleRate,
                                     int32_t& sampleSize, int32_t& sampleNum, int32_t& channelNum);

}  // namespace qv
