#include "readings/simplifiedText.h"

#include <opencc/opencc.h>

#include <mutex>
#include <stdexcept>

namespace qv {

namespace {

const opencc_t kFailed = reinterpret_cast<opencc_t>(-1);

struct converter {
    std::mutex m;
    opencc_t od = kFailed;
    std::string error;
    converter() {
        // The bare name is looked up in OpenCC's data folder.
        od = opencc_open("s2tw.json");
        if (od == kFailed) od = opencc_open("/usr/share/opencc/s2tw.json");
        if (od == kFailed) error = opencc_error();
    }
    ~converter() {
        if (od != kFailed) opencc_close(od);
    }
};

converter& theConverter() {
    static converter c;
    return c;
}

}  // namespace

std::string simplifiedToTraditional(const std::string& utf8) {
    converter& c = theConverter();
    if (c.od == kFailed)
        throw std::runtime_error("cannot load the Simplified-to-Traditional conversion (OpenCC s2tw): " + c.error);
    std::lock_guard<std::mutex> lock(c.m);
    char* out = opencc_convert_utf8(c.od, utf8.data(), utf8.size());
    if (!out) throw std::runtime_error(std::string("Simplified-to-Traditional conversion failed: ") + opencc_error());
    std::string s(out);
    opencc_convert_utf8_free(out);
    return s;
}

}  // namespace qv
