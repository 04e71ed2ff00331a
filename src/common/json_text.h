// JSON text helpers for messages that are assembled by concatenation, and the one way
// the agent parses JSON that arrives from outside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

// Escapes `text` for use between double quotes in JSON (quotes, backslashes, control
// characters). Bytes of invalid UTF-8 are replaced by U+FFFD so the result is always
// valid JSON text.
std::string JsonEscape(std::string_view text);

// `text` as a complete JSON string value, quotes included. Modules use this to put a
// plain text into an info field, which is otherwise inserted as raw JSON.
std::string JsonQuote(std::string_view text);

// Deepest nesting of objects and arrays that input from outside may have. Requests and
// device answers never come near it; the limit exists so that later walks over the
// parsed tree (copies, writers) cannot exhaust a thread's stack.
constexpr size_t kMaxJsonNesting = 256;

// True when no object or array in `text` is nested deeper than `limit` (brackets inside
// strings do not count). Linear, with no recursion.
bool JsonNestingWithin(std::string_view text, size_t limit = kMaxJsonNesting);

// Parses untrusted `text` into `doc` without recursion; false (and `doc` holding a parse
// error) when the text is not JSON or is nested deeper than kMaxJsonNesting.
bool ParseUntrustedJson(std::string_view text, rapidjson::Document* doc);
