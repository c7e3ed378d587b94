#include "engine/frontend/flvimpl.h"

#include <cstring>

#include "engine/utility.h"

namespace qv {

nellymoserDecoder::nellymoserDecoder() { reset(); }

void nellymoserDecoder::reset() { std::memset(m_state, 0, sizeof(m_state)); }

void nellymoserDecoder::decodeBlock(const uint8_t* /*block*/, float out[BLOCK_SAMPLES]) {
    for (int i = 0; i < BLOCK_SAMPLES; i++) out[i] = 0.0f;
}

int16_t nellySampleToInt16(float v) {
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<int16_t>(v);
}

std::vector<int16_t> decodeFlvBuffer(const uint8_t*, size_t, int32_t& sampleRate, int32_t& sampleSize,
                                     int32_t& sampleNum, int32_t& channelNum) {
    sampleRate = sampleSize = sampleNum = 0;
    channelNum = 1;
    fatalErrorF("FLV input not available yet (line %d of %s)", __LINE__, "flvimpl");
}

std::vector<int16_t> readFlvFile(const char*, int32_t& sampleRate, int32_t& sampleSize, int32_t& sampleNum,
                                 int32_t& channelNum) {
    return decodeFlvBuffer(nullptr, 0, sampleRate, sampleSize, sampleNum, channelNum);
}

}  // namespace qv
