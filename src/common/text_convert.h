// Conversions between UTF-8 (JSON, IPC and device-link texts) and UTF-16 (paths and
// device identity fields).
#pragma once

#include <string>
#include <string_view>

// Invalid UTF-8 yields an empty result.
std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
