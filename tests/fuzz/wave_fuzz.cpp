// RIFF WAVE file image -> wave reader -> preparation (width, rate, level check, DC).
#include "engine/frontend/audioFile.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::waveSignal wave = qv::readWaveBytes(qvfuzz::asBytes(data, size), "fuzz.wav");
        qv::recogParam prm = qvfuzz::shippedParams();
        prm.useSpecSubtraction = 1;
        if (wave.sampleNum > 0) qv::prepareWave(wave, prm);
    });
    return 0;
}
