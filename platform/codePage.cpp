#include "platform/codePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv {


namespace {

// glibc knows code page 950 as "CP950" (Microsoft's Big5, which the data
// files use); older iconv implementations only have plain "BIG5".
iconv_t openConverter(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        const bool toBig5 = std::string(to) == "CP950";
        const bool fromBig5 = std::string(from) == "CP950";
        if (toBig5) cd = iconv_open("BIG5", from);
        else if (fromBig5) cd = iconv_open(to, "BIG5");
    }
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no Big5 (CP950) converter");
    return cd;
}

struct Converter {
    iconv_t cd;
    Converter(const char* to, const char* from) : cd(openConverter(to, from)) {}
    ~Converter() { iconv_close(cd); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
};

std::string escapeBytes(const std::string& s, size_t pos, size_t n) {
    std::string out;
    char buf[8];
    for (size_t i = pos; i < pos + n && i < s.size(); ++i) {
        snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i]));
        out += buf;
    }
    return out;
}

// Converts `in`; on a sequence that cannot be converted calls
// onBad(position, output so far) which may append to the output and returns
// how many input bytes to skip (0 = give up).
template <class OnBad>
std::string convert(const char* to, const char* from, const std::string& in, OnBad onBad) {
    Converter conv(to, from);
    std::string out;
    std::vector<char> buf(4 * in.size() + 16);
    size_t pos = 0;
    while (pos < in.size()) {
        char* ip = const_cast<char*>(in.data()) + pos;
        size_t ileft = in.size() - pos;
        char* op = buf.data();
        size_t oleft = buf.size();
        const size_t r = iconv(conv.cd, &ip, &ileft, &op, &oleft);
        const int err = errno;
        out.append(buf.data(), static_cast<size_t>(op - buf.data()));
        pos = in.size() - ileft;
        if (r != static_cast<size_t>(-1)) break;
        if (err == E2BIG) continue;
        // EILSEQ (no mapping or malformed) or EINVAL (cut-off sequence).
        const size_t skip = onBad(pos, out);
        if (skip == 0) break;
        pos += skip;
        iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (none for these encodings, but harmless).
    char* op = buf.data();
    size_t oleft = buf.size();
    iconv(conv.cd, nullptr, nullptr, &op, &oleft);
    out.append(buf.data(), static_cast<size_t>(op - buf.data()));
    return out;
}

bool validUtf8At(const std::string& s, size_t i, size_t n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (n == 1) return c < 0x80;
    for (size_t k = 1; k < n; ++k)
        if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    return true;
}

std::string codePoint(const std::string& s, size_t i, size_t n) {
    unsigned long cp = static_cast<unsigned char>(s[i]) & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    char buf[16];
    snprintf(buf, sizeof buf, "U+%04lX", cp);
    return buf;
}

// Length of the sequence a lead byte announces (1 for ASCII and stray bytes).
size_t utf8LeadLen(char lead) {
    const unsigned char c = static_cast<unsigned char>(lead);
    if (c >= 0xF0 && c < 0xF8) return 4;
    if (c >= 0xE0 && c < 0xF0) return 3;
    if (c >= 0xC0 && c < 0xE0) return 2;
    return 1;
}

}  // namespace

size_t utf8CharLen(const std::string& s, size_t i) {
    if (i >= s.size()) return 0;
    size_t n = utf8LeadLen(s[i]);
    if (i + n > s.size()) n = s.size() - i;
    return n;
}

std::string utf8ToBig5(const std::string& utf8) {
    return convert("CP950", "UTF-8", utf8, [&](size_t pos, std::string&) -> size_t {
        const size_t n = utf8CharLen(utf8, pos);
        if (n > 1 && n == utf8LeadLen(utf8[pos]) && validUtf8At(utf8, pos, n)) {
            const std::string ch = utf8.substr(pos, n);
            throw Big5Error("the character \"" + ch + "\" (" + codePoint(utf8, pos, n) + ") has no Big5 form", ch);
        }
        const std::string bad = escapeBytes(utf8, pos, n);
        throw Big5Error("the text is not valid UTF-8 (bytes " + bad + ")", bad);
    });
}

std::string big5ToUtf8(const std::string& big5) {
    return convert("UTF-8", "CP950", big5, [&](size_t pos, std::string&) -> size_t {
        const std::string bad = escapeBytes(big5, pos, static_cast<unsigned char>(big5[pos]) >= 0x80 ? 2 : 1);
        throw Big5Error("invalid Big5 text (bytes " + bad + ")", bad);
    });
}

std::string big5ToUtf8Lenient(const std::string& big5) {
    return convert("UTF-8", "CP950", big5, [&](size_t pos, std::string& out) -> size_t {
        out += escapeBytes(big5, pos, 1);
        return 1;
    });
}


bool wideToCodePage(const std::wstring& text, std::string& out, const char* codePage) {
    out.clear();
    iconv_t probe = iconv_open(codePage, "WCHAR_T");
    if (probe == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(probe);
    const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    out = convert(codePage, "WCHAR_T", bytes, [](size_t, std::string& done) -> size_t {
        done.push_back('?');  // one character with no form in the code page
        return sizeof(wchar_t);
    });
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
