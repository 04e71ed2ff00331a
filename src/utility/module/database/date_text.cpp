#include "utility/module/database/date_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr int64_t kEpoch2001 = 978307200;        // 2001-01-01 00:00:00 UTC in Unix time
constexpr int64_t kLastInstant = 32535215999;    // 3000-12-31 23:59:59 UTC in Unix time
constexpr int64_t kNanosecondsPerSecond = 1000000000;

bool Convertible(int64_t seconds) { return seconds <= kLastInstant - kEpoch2001; }

// Offsets from UTC and their changes fall on quarter hours, so every instant of one UTC
// quarter hour shares the local date, hour and quarter of its start. The local time of the
// last quarter converted is kept per thread: listings convert runs of nearby dates.
constexpr int64_t kQuarter = 900;

struct QuarterCache {
  int64_t start = -1;  // Unix time of the cached quarter's start
  std::tm local{};
  bool valid = false;
  const char* zone = nullptr;  // TZ when the entry was made
  std::string zone_text;
};

bool SameZone(const QuarterCache& cache) {
  const char* zone = std::getenv("TZ");
  if ((zone == nullptr) != (cache.zone == nullptr)) return false;
  return zone == nullptr || cache.zone_text == zone;
}

std::string LocalText(int64_t seconds) {
  thread_local QuarterCache cache;
  const int64_t unix_time = kEpoch2001 + seconds;
  const int64_t start = unix_time - unix_time % kQuarter;
  if (cache.start != start || !SameZone(cache)) {
    const std::time_t instant = static_cast<std::time_t>(start);
    cache.valid = localtime_r(&instant, &cache.local) != nullptr;
    cache.start = start;
    const char* zone = std::getenv("TZ");
    cache.zone = zone;
    cache.zone_text = zone ? zone : "";
  }
  if (!cache.valid) return std::string();
  const int64_t into = unix_time - start + cache.local.tm_min * 60 + cache.local.tm_sec;
  char text[64];
  if (into >= 3600) {
    // An offset that is no whole quarter hour: convert this instant on its own.
    const std::time_t instant = static_cast<std::time_t>(unix_time);
    std::tm local{};
    if (localtime_r(&instant, &local) == nullptr) return std::string();
    std::snprintf(text, sizeof(text), "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
  }
  std::snprintf(text, sizeof(text), "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", cache.local.tm_year + 1900,
                cache.local.tm_mon + 1, cache.local.tm_mday, cache.local.tm_hour,
                static_cast<int>(into / 60), static_cast<int>(into % 60));
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
