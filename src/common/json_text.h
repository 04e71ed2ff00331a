// JSON text helpers for messages that are assembled by concatenation.
#pragma once

#include <string>
#include <string_view>

// Escapes `text` for use between double quotes in JSON (quotes, backslashes, control
// characters). Bytes of invalid UTF-8 are replaced by U+FFFD so the result is always
// valid JSON text.
std::string JsonEscape(std::string_view text);

// `text` as a complete JSON string value, quotes included. Modules use this to put a
// plain text into an info field, which is otherwise inserted as raw JSON.
std::string JsonQuote(std::string_view text);
