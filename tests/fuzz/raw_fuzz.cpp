// Headerless 16-bit audio -> raw reader -> preparation with spectral subtraction.
#include "engine/frontend/audioFile.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::waveSignal wave = qv::readRawBytes(qvfuzz::asBytes(data, size));
        qv::recogParam prm = qvfuzz::shippedParams();
        prm.useSpecSubtraction = 1;
        if (wave.sampleNum > 0) qv::prepareWave(wave, prm);
    });
    return 0;
}
