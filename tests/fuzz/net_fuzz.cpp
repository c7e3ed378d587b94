// Text network -> network build (labels looked up in the shipped dictionary,
// successor lists through null nodes).
#include "engine/lexicon/net.h"
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    static qv::dictClass dict = qvfuzz::shippedDict();
    qvfuzz::guard([&] {
        std::vector<std::string> lines;
        qv::splitLines(qvfuzz::asString(data, size), lines);
        qv::netClass net;
        net.buildFromTxt(lines, dict);
        net.setNodePenalty(1.0f);
        net.maxFanOut();
    });
    return 0;
}
