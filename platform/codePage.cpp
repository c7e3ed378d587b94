#include "platform/codePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace qv {

namespace {

// iconv_t owned for one conversion.
struct Converter {
    iconv_t cd;
    Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd);
    }
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

}  // namespace

bool wideToCodePage(const std::wstring& text, std::string& out, const char* codePage) {
    out.clear();
    Converter conv(codePage, "WCHAR_T");
    if (!conv.ok()) return false;
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(wchar_t);
    std::vector<char> buf(64);
    while (inLeft > 0) {
        char* o = buf.data();
        size_t oLeft = buf.size();
        size_t r = iconv(conv.cd, &in, &inLeft, &o, &oLeft);
        out.append(buf.data(), buf.size() - oLeft);
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ/EINVAL: one character with no form in the code page.
        out.push_back('?');
        in += sizeof(wchar_t);
        inLeft -= sizeof(wchar_t);
    }
    // Flush any shift state.
    char* o = buf.data();
    size_t oLeft = buf.size();
    iconv(conv.cd, nullptr, nullptr, &o, &oLeft);
    out.append(buf.data(), buf.size() - oLeft);
    return true;
}

bool utf8ToWide(const std::string& text, std::wstring& out) {
    out.clear();
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        int extra;
        uint32_t cp;
        if (c < 0x80) {
            extra = 0, cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07;
        } else {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if (i + static_cast<size_t>(k) >= n || (s[i + static_cast<size_t>(k)] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + static_cast<size_t>(k)] & 0x3F);
        }
        static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.push_back(static_cast<wchar_t>(cp));
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

std::string cutDoubleByteText(const std::string& text, size_t maxBytes) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t step = (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) ? 2 : 1;
        if (i + step > maxBytes) break;
        i += step;
    }
    return text.substr(0, i);
}

}  // namespace qv
