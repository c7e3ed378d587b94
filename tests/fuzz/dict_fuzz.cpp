// Pronunciation dictionary -> reader (model names resolved in the shipped set) -> lookups.
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    const qv::macroClass& macro = qvfuzz::shippedMacro();
    qvfuzz::guard([&] {
        qv::dictClass dict;
        dict.pronDictReadBytes(qvfuzz::asString(data, size), "fuzz.pam", macro);
        if (!dict.m_pronDict.empty())
            dict.pronDictSearch(dict.m_pronDict.back().name, 0, static_cast<int32_t>(dict.m_pronDict.size()) - 1);
    });
    return 0;
}
