// Phone label file (as written to phone.lab) -> read back.
#include "engine/scoring/mlf.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    qvfuzz::guard([&] {
        qv::mlfClass mlf;
        mlf.readPhoneLevelBytes(qvfuzz::asString(data, size), "phone.lab");
    });
    return 0;
}
