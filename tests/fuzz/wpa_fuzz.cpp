// Word table -> reader (Chinese against the shipped pinyin table, or English
// by the first byte) -> merge, sort and lookups.
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    static const qv::dictClass shipped = qvfuzz::shippedDict();
    if (size < 1) return 0;
    const bool english = (data[0] & 1) != 0;
    qvfuzz::guard([&] {
        qv::dictClass dict;
        dict.m_pinyinTable = shipped.m_pinyinTable;
        const std::string bytes = qvfuzz::asString(data + 1, size - 1);
        dict.wpaReadBytes(bytes, "fuzz.wpa", english ? "english" : "chinese", dict.m_wpa);
        if (english) {
            dict.wpaReadBytes(bytes, "fuzz.wpa", "english", dict.m_wpaAddenda);
            dict.wpaMerge();
        }
        dict.wpaSort();
        if (!dict.m_wpa.empty()) qv::dictClass::wpaSearch(dict.m_wpa.front().word, dict.m_wpa);
    });
    return 0;
}
