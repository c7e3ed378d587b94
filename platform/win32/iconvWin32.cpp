#include "iconv.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

enum class Enc { Utf8, Wide, CodePage };

struct Conv {
    Enc from, to;
    UINT fromCp = 0, toCp = 0;
};

bool parse(const char* name, Enc& enc, UINT& cp) {
    std::string n(name);
    for (auto& c : n) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (n == "UTF-8" || n == "UTF8") return enc = Enc::Utf8, true;
    if (n == "WCHAR_T" || n == "UTF-16LE") return enc = Enc::Wide, true;
    if (n == "CP950" || n == "BIG5") return enc = Enc::CodePage, cp = 950, true;
    if (n.rfind("CP", 0) == 0 && n.size() > 2) {
        cp = static_cast<UINT>(atoi(n.c_str() + 2));
        if (cp == 0 || !IsValidCodePage(cp)) return false;
        return enc = Enc::CodePage, true;
    }
    return false;
}

// Decodes one character into UTF-16 (one or two units). Returns the bytes
// taken, 0 for a sequence cut off by the end (EINVAL), -1 for a bad one.
int decode(const Conv& c, const unsigned char* s, size_t n, wchar_t* w, int& wn) {
    if (c.from == Enc::Wide) {
        if (n < 2) return 0;
        const unsigned u = s[0] | (s[1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (n < 4) return 0;
            const unsigned u2 = s[2] | (s[3] << 8);
            if (u2 < 0xDC00 || u2 > 0xDFFF) return -1;
            w[0] = static_cast<wchar_t>(u), w[1] = static_cast<wchar_t>(u2), wn = 2;
            return 4;
        }
        if (u >= 0xDC00 && u <= 0xDFFF) return -1;
        w[0] = static_cast<wchar_t>(u), wn = 1;
        return 2;
    }
    if (c.from == Enc::Utf8) {
        const unsigned char b = s[0];
        int len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : -1;
        if (len < 0) return -1;
        if (n < static_cast<size_t>(len)) return 0;
        uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k < len; ++k) {
            if ((s[k] & 0xC0) != 0x80) return -1;
            cp = (cp << 6) | (s[k] & 0x3F);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            w[0] = static_cast<wchar_t>(0xD800 + (cp >> 10)), w[1] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)), wn = 2;
        } else {
            w[0] = static_cast<wchar_t>(cp), wn = 1;
        }
        return len;
    }
    // Double-byte code page: a lead byte takes the next one.
    const int len = IsDBCSLeadByteEx(c.fromCp, s[0]) ? 2 : 1;
    if (n < static_cast<size_t>(len)) return 0;
    wn = MultiByteToWideChar(c.fromCp, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(s), len, w, 2);
    return wn > 0 ? len : -1;
}

// Encodes UTF-16 units; returns the bytes written or -1 when the character
// has no form in the target.
int encode(const Conv& c, const wchar_t* w, int wn, char* out) {
    if (c.to == Enc::Wide) {
        memcpy(out, w, static_cast<size_t>(wn) * 2);
        return wn * 2;
    }
    if (c.to == Enc::Utf8) {
        const int r = WideCharToMultiByte(CP_UTF8, 0, w, wn, out, 8, nullptr, nullptr);
        return r > 0 ? r : -1;
    }
    BOOL usedDefault = FALSE;
    const int r = WideCharToMultiByte(c.toCp, WC_NO_BEST_FIT_CHARS, w, wn, out, 8, nullptr, &usedDefault);
    return (r > 0 && !usedDefault) ? r : -1;
}

}  // namespace

iconv_t iconv_open(const char* tocode, const char* fromcode) {
    Conv c;
    if (!parse(tocode, c.to, c.toCp) || !parse(fromcode, c.from, c.fromCp)) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    return new Conv(c);
}

size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft) {
    if (!inbuf || !*inbuf) return 0;  // no shift state to reset or flush
    const Conv& c = *static_cast<Conv*>(cd);
    while (*inbytesleft > 0) {
        wchar_t w[2];
        int wn = 0;
        const int took = decode(c, reinterpret_cast<const unsigned char*>(*inbuf), *inbytesleft, w, wn);
        if (took <= 0) {
            errno = took == 0 ? EINVAL : EILSEQ;
            return static_cast<size_t>(-1);
        }
        char bytes[8];
        const int made = encode(c, w, wn, bytes);
        if (made < 0) {
            errno = EILSEQ;
            return static_cast<size_t>(-1);
        }
        if (static_cast<size_t>(made) > *outbytesleft) {
            errno = E2BIG;
            return static_cast<size_t>(-1);
        }
        memcpy(*outbuf, bytes, static_cast<size_t>(made));
        *outbuf += made, *outbytesleft -= static_cast<size_t>(made);
        *inbuf += took, *inbytesleft -= static_cast<size_t>(took);
    }
    return 0;
}

int iconv_close(iconv_t cd) {
    delete static_cast<Conv*>(cd);
    return 0;
}
