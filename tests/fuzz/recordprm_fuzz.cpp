// Recording parameter file -> reader.
#include "capture/recording.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::recordParam param;
        qv::recordParamReadBytes(qvfuzz::asString(data, size), "recording.prm", param);
    });
    return 0;
}
