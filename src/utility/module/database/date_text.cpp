#include "utility/module/database/date_text.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t kEpoch2001 = 978307200;        // 2001-01-01 00:00:00 UTC in Unix time
constexpr int64_t kLastInstant = 32535215999;    // 3000-12-31 23:59:59 UTC in Unix time
constexpr int64_t kNanosecondsPerSecond = 1000000000;

bool Convertible(int64_t seconds) { return seconds <= kLastInstant - kEpoch2001; }

std::string LocalText(int64_t seconds) {
  const std::time_t instant = static_cast<std::time_t>(kEpoch2001 + seconds);
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof(text), "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace

std::string DeviceDateText(int64_t value) {
  if (value < 0) value = 0;
  if (Convertible(value)) return LocalText(value);
  const int64_t seconds = value / kNanosecondsPerSecond;
  if (Convertible(seconds)) return LocalText(seconds);
  return std::string();
}
