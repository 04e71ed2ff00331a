// Base64 text (as property lists carry data) to bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Decodes standard Base64 with padding. Whitespace anywhere (XML writers wrap and indent
// long data) is ignored. Nothing when the text is not Base64.
std::optional<std::string> Base64Decode(std::string_view text);
