#include "png_check.h"

#include <zlib.h>

namespace devsim::testing {
namespace {

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
         uint32_t(uint8_t(s[at + 2])) << 8 | uint32_t(uint8_t(s[at + 3]));
}

}  // namespace

PngInfo CheckPng(const std::string& png) {
  PngInfo info;
  if (png.size() < 8 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return info;
  std::string idat;
  bool ended = false, header = false;
  size_t at = 8;
  while (at + 12 <= png.size() && !ended) {
    uint32_t len = Be32(png, at);
    if (len > png.size() - at - 12) return info;
    std::string type = png.substr(at + 4, 4);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), len + 4);
    if (crc != Be32(png, at + 8 + len)) return info;
    std::string data = png.substr(at + 8, len);
    if (type == "IHDR") {
      if (len != 13 || data[8] != 8 || data[9] != 6) return info;
      info.width = Be32(data, 0);
      info.height = Be32(data, 4);
      header = true;
    } else if (type == "IDAT") {
      idat += data;
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + len;
  }
  if (!header || !ended || at != png.size()) return info;
  size_t row = size_t{info.width} * 4 + 1;
  std::string raw(row * info.height, '\0');
  uLongf raw_len = raw.size();
  if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &raw_len,
                 reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK ||
      raw_len != raw.size()) {
    return info;
  }
  for (uint32_t y = 0; y < info.height; ++y) {
    if (raw[y * row] != 0) return info;
    info.pixels.append(raw, y * row + 1, row - 1);
  }
  info.valid = true;
  return info;
}

}  // namespace devsim::testing
