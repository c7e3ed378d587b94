// Text conversions between wide strings, UTF-8 and the data files' double-byte
// code page (Big5 as Windows code page 950).
#pragma once

#include <string>

namespace qv {

// Converts wide text to `codePage` (an iconv name); a character without a
// form there becomes '?'. Returns false only when the conversion is not
// available at all.
bool wideToCodePage(const std::wstring& text, std::string& out, const char* codePage = "CP950");
// Strict UTF-8 to wide text; false on malformed input.
bool utf8ToWide(const std::string& text, std::wstring& out);
// The longest prefix of at most maxBytes bytes of double-byte text that does
// not end inside a character (lead bytes 0x81...0xFE take the next byte).
std::string cutDoubleByteText(const std::string& text, size_t maxBytes);

}  // namespace qv
