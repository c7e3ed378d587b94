// Recognition parameter file -> reader.
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::recogParam prm;
        qv::recogParamReadBytes(qvfuzz::asString(data, size), "fuzz.prm", prm);
    });
    return 0;
}
