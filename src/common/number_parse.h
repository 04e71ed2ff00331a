// Leading-digit number parsing with the semantics front ends rely on for command-line
// and header values: optional leading whitespace, an optional sign, then digits; anything
// after the digits is ignored; no digits gives 0; out-of-range values saturate.
#pragma once

#include <cstdint>
#include <string_view>

int32_t ParseLeadingInt(std::string_view text);
int64_t ParseLeadingInt64(std::string_view text);
