// The small part of iconv that platform/codePage.cpp uses, for Windows,
// where the C library has no iconv: conversions between "UTF-8",
// "WCHAR_T" (UTF-16 there) and the code pages "CP950"/"BIG5" go through
// MultiByteToWideChar and WideCharToMultiByte, one character at a time, so
// that errors stop at the offending character as iconv's do.
#pragma once

#include <stddef.h>

typedef void* iconv_t;

iconv_t iconv_open(const char* tocode, const char* fromcode);
size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);
int iconv_close(iconv_t cd);
