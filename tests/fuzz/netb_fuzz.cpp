// Binary network -> reader and successor lists, against the shipped dictionary.
#include "engine/lexicon/net.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    static qv::dictClass dict = qvfuzz::shippedDict();
    qvfuzz::guard([&] {
        qv::netClass net;
        net.readNetbBytes(qvfuzz::asString(data, size), "fuzz.netb", dict);
        net.maxFanOut();
    });
    return 0;
}
