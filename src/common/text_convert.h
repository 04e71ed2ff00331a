// Text conversions between UTF-8, UTF-16 and the narrow system code page.
//
// Paths and device identity fields are UTF-16; JSON, IPC and device-link texts are UTF-8.
// Every conversion returns a new owning string; a null input yields an empty string.
// On Linux the narrow system code page is UTF-8.
#pragma once

#include <string>
#include <string_view>

// Strict decoding: false (and `out` cleared) when `in` is not well-formed UTF-8
// (stray continuation bytes, overlong forms, encoded surrogates, values past U+10FFFF,
// truncated sequences). Embedded NUL bytes are kept.
bool DecodeUtf8(std::string_view in, std::u16string* out);

// Forgiving decoding for texts that must not be lost: every byte that does not start a
// well-formed sequence becomes U+FFFD.
std::u16string DecodeUtf8Lossy(std::string_view in);

// UTF-8 to UTF-16. Invalid UTF-8 gives an empty string, as the length query refuses it.
std::u16string Utf8ToUtf16(std::string_view in);
std::u16string Utf8ToUtf16(const char* in);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in);
std::string Utf16ToUtf8(const char16_t* in);

// UTF-16 to the narrow system code page and back (UTF-8 here).
std::string Utf16ToAnsi(std::u16string_view in);
std::u16string AnsiToUtf16(std::string_view in);

