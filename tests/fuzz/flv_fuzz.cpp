// FLV image -> tag walk and Nellymoser decoding -> preparation.
#include "engine/frontend/audioFile.h"
#include "engine/frontend/flvimpl.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        int32_t rate = 0, sampleSize = 0, count = 0, channels = 0;
        const std::vector<int16_t> pcm = qv::decodeFlvBuffer(data, size, rate, sampleSize, count, channels);
        if (pcm.empty()) return;
        qv::waveSignal wave;
        wave.signal.assign(pcm.begin(), pcm.end());
        wave.sampleNum = static_cast<int32_t>(wave.signal.size());
        wave.fs = rate;
        wave.nbits = 16;
        qv::recogParam prm = qvfuzz::shippedParams();
        qv::prepareWave(wave, prm);
    });
    return 0;
}
