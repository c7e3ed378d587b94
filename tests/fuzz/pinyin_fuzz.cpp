// Pinyin table -> reader -> the shipped word table read against it.
#include "fuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::init();
    // A slice of the shipped word table keeps every run quick.
    static const std::string wpa = qv::readFileBytes(qvfuzz::dataPath("chinese.wpa")).substr(0, 20000);
    qvfuzz::guard([&] {
        qv::dictClass dict;
        dict.pinyinTableReadBytes(qvfuzz::asString(data, size));
        dict.wpaReadBytes(wpa.substr(0, wpa.rfind('\n') + 1), "chinese.wpa", "chinese", dict.m_wpa);
    });
    return 0;
}
