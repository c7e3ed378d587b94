// Windows: Debian builds OpenCC for Linux only, so the system's own
// Simplified-to-Traditional mapping (LCMapStringEx) stands in. It maps
// character by character, without OpenCC's phrase context (干净 gives 干淨,
// not 乾淨); the reading step then names what the word table cannot read.
#include "readings/simplifiedText.h"

#include <windows.h>

#include <stdexcept>

namespace qv {

namespace {

std::wstring widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) throw std::runtime_error("Simplified-to-Traditional conversion: the text is not valid UTF-8");
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) throw std::runtime_error("Simplified-to-Traditional conversion: cannot write UTF-8");
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

}  // namespace

std::string simplifiedToTraditional(const std::string& utf8) {
    const std::wstring in = widen(utf8);
    if (in.empty()) return std::string();
    const int n = LCMapStringEx(L"zh-TW", LCMAP_TRADITIONAL_CHINESE, in.data(), static_cast<int>(in.size()), nullptr,
                                0, nullptr, nullptr, 0);
    if (n <= 0)
        throw std::runtime_error("cannot convert Simplified text to Traditional on this system (LCMapStringEx error " +
                                 std::to_string(GetLastError()) + ")");
    std::wstring out(static_cast<size_t>(n), L'\0');
    LCMapStringEx(L"zh-TW", LCMAP_TRADITIONAL_CHINESE, in.data(), static_cast<int>(in.size()), &out[0], n, nullptr,
                  nullptr, 0);
    return narrow(out);
}

}  // namespace qv
