// Text conversions between UTF-8, wide strings and the data files' double-byte
// code page (Big5 as code page 950), through the C library's iconv. Users type
// UTF-8 (tools) or wide text (the control); the data set and the engine work
// on Big5 bytes.
#pragma once

#include <stdexcept>
#include <string>

namespace qv {

// A text that cannot be converted. `offending()` is the character at fault
// (in UTF-8, or as "\xNN" escapes when the input itself is malformed).
class Big5Error : public std::runtime_error {
public:
    Big5Error(const std::string& message, std::string offending)
        : std::runtime_error(message), m_offending(std::move(offending)) {}
    const std::string& offending() const { return m_offending; }

private:
    std::string m_offending;
};

// UTF-8 to Big5; throws Big5Error naming the first character that has no
// Big5 form (or the first malformed UTF-8 sequence).
std::string utf8ToBig5(const std::string& utf8);
// Big5 to UTF-8; throws Big5Error at the first invalid byte pair.
std::string big5ToUtf8(const std::string& big5);
// The same, but never throws: bytes that cannot be converted come out as
// "\xNN" escapes. For display of data-file strings.
std::string big5ToUtf8Lenient(const std::string& big5);
// The length in bytes of the UTF-8 character starting at s[i] (1 for a
// stray byte), clipped to the end of the string.
size_t utf8CharLen(const std::string& s, size_t i);

// Wide text to `codePage` (an iconv name); a character without a form there
// becomes '?'. Returns false only when the conversion is not available.
bool wideToCodePage(const std::wstring& text, std::string& out, const char* codePage = "CP950");
// Strict UTF-8 to wide text; false on malformed input.
bool utf8ToWide(const std::string& text, std::wstring& out);
// The longest prefix of at most maxBytes bytes of double-byte text that does
// not end inside a character (lead bytes 0x81...0xFE take the next byte).
std::string cutDoubleByteText(const std::string& text, size_t maxBytes);

}  // namespace qv
