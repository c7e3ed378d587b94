// Feature configuration -> reader -> features of a short fixed signal.
#include <cmath>

#include "engine/frontend/feature.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    static const std::vector<int32_t> signal = [] {
        std::vector<int32_t> s(4000);
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<int32_t>(3000.0 * std::sin(0.05 * static_cast<double>(i)) + (i * 7919 % 61) - 30);
        return s;
    }();
    qvfuzz::guard([&] {
        qv::CFeaBuf buf;
        buf.readConfigBytes(qvfuzz::asString(data, size));
        int frameNum = 0, dim = 0;
        buf.computeConfigured(signal.data(), 16000, static_cast<int>(signal.size()), frameNum, dim);
    });
    return 0;
}
