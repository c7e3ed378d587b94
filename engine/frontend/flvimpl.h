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
#include <functional>
#include <vector>

namespace qv {

// Decoder of the Nellymoser Asao codec. Holds the overlap memory of the
// inverse transform between blocks, so one object decodes one stream.
class nellymoserDecoder {
public:
    static constexpr int BLOCK_BYTES = 64;
    static constexpr int BLOCK_SAMPLES = 256;

    nellymoserDecoder();
    // Decodes the 64 bytes at `block` into 256 float samples (16-bit scale).
    void decodeBlock(const uint8_t* block, float out[BLOCK_SAMPLES]);
    // Clears the overlap memory (start of a new stream).
    void reset();

    // Bins that receive no detail bits are filled with their band energy and
    // a sign the bitstream leaves free. By default odd bins are negated, which
    // keeps decoding deterministic. A function set here is asked once per such
    // bin, in decoding order, and returns true to negate; it lets a caller
    // replay the signs another decoder chose (e.g. to compare outputs exactly).
    void setNoiseSigns(std::function<bool()> negate) { m_noiseSign = std::move(negate); }

private:
    std::function<bool()> m_noiseSign;
    float m_state[64];  // transform output of the previous half-block that still overlaps
};

// Converts a decoded float sample to 16 bits: saturates at the ends of the
// range, otherwise truncates toward zero.
int16_t nellySampleToInt16(float v);

// Reads the FLV file at `path` and returns its decoded Nellymoser audio.
// Out-parameters: sample rate in Hz, sample size (always 16: the decoder yields
// 16-bit values whatever the stream's sample-size flag says), sample count
// (== returned size) and channel count (stereo flag + 1; a stereo stream is
// still one sequence of blocks, not separated into channels).
// Sound formats 4 (16 kHz mono), 5 (8 kHz mono) and 6 (rate from the rate
// code: 5500, 11025, 22050, 44100 Hz) are Nellymoser.
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
// `decoder`, when given, is used instead of a fresh one (its settings and
// state carry over).
std::vector<int16_t> decodeFlvBuffer(const uint8_t* data, size_t size, int32_t& sampleRate,
                                     int32_t& sampleSize, int32_t& sampleNum, int32_t& channelNum,
                                     nellymoserDecoder* decoder = nullptr);

}  // namespace qv
