#include "utility/module/sync/sync_date.h"

#include <cctype>
#include <cstdio>

namespace {

// Leading-digit reading of a fixed-width field, as atoi would read it.
int FieldValue(std::string_view text, size_t pos, size_t width) {
  int value = 0;
  for (size_t i = pos; i < pos + width && i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) break;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

bool IsUtcDateText(std::string_view text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

std::string UtcDateTextToLocal(std::string_view text) {
  if (text.size() < 19) return {};
  std::tm utc{};
  utc.tm_year = FieldValue(text, 0, 4) - 1900;
  utc.tm_mon = FieldValue(text, 5, 2) - 1;
  utc.tm_mday = FieldValue(text, 8, 2);
  utc.tm_hour = FieldValue(text, 11, 2);
  utc.tm_min = FieldValue(text, 14, 2);
  utc.tm_sec = FieldValue(text, 17, 2);
  const std::time_t when = timegm(&utc);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return {};
  char out[64];
  std::snprintf(out, sizeof out, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return out;
}

std::string FormatUtcDateText(std::time_t when) {
  std::tm utc{};
  if (gmtime_r(&when, &utc) == nullptr) return {};
  char out[64];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return out;
}
