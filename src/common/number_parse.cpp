#include "common/number_parse.h"

#include <limits>

namespace {

// Parses into a 64-bit magnitude with saturation at `limit` (the largest magnitude the
// caller's type can hold for the given sign).
int64_t ParseSaturated(std::string_view text, int64_t min_value, int64_t max_value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (negative) {
      if (value < (min_value + digit) / 10) return min_value;
      value = value * 10 - digit;
    } else {
      if (value > (max_value - digit) / 10) return max_value;
      value = value * 10 + digit;
    }
  }
  return value;
}

}  // namespace

int32_t ParseLeadingInt(std::string_view text) {
  return static_cast<int32_t>(ParseSaturated(text, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
}

int64_t ParseLeadingInt64(std::string_view text) {
  return ParseSaturated(text, std::numeric_limits<int64_t>::min(),
                        std::numeric_limits<int64_t>::max());
}
