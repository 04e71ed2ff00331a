// zlib streams (RFC 1950) for message bodies.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Compresses at `level` (9 for every message body). On a compressor error the result
// holds whatever output was produced before it.
std::string ZlibCompress(std::string_view data, int level = 9);

// Inflates a complete stream. Nothing when the stream is damaged or truncated, or when
// the output would exceed `max_output` bytes.
std::optional<std::string> ZlibDecompress(std::string_view data, size_t max_output);
