#include "utility/module/sync/sync_anchor.h"

#include <cstdio>
#include <cstdlib>

std::string FormatSyncAnchor(const std::tm& local, long utc_offset_seconds) {
  // Hours truncated toward zero; a zone west of UTC gets its own sign instead of a
  // wrapped-around unsigned number.
  const long minutes = utc_offset_seconds / 60;
  const long hours = minutes / 60;
  const char sign = hours < 0 ? '-' : '+';
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02ld%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, sign, std::labs(hours), 0);
  return text;
}

std::string CurrentSyncAnchor() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatSyncAnchor(local, local.tm_gmtoff);
}
