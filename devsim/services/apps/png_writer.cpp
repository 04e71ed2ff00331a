#include "services/apps/png_writer.h"

#include <zlib.h>

namespace devsim {
namespace {

constexpr uint32_t kMaxSide = 4096;

void PutBe32(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v >> 24));
  out->push_back(static_cast<char>(v >> 16));
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v));
}

void PutChunk(std::string* out, const char type[4], std::string_view data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  size_t start = out->size();
  out->append(type, 4);
  out->append(data);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out->data() + start),
                    static_cast<uInt>(out->size() - start));
  PutBe32(out, static_cast<uint32_t>(crc));
}

uint32_t Fnv1a(std::string_view s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

}  // namespace

std::string EncodePng(uint32_t width, uint32_t height, std::string_view rgba) {
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return {};
  size_t row = size_t{width} * 4;
  if (rgba.size() != row * height) return {};
  // Every scanline starts with filter type 0 (none).
  std::string raw;
  raw.reserve((row + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back('\0');
    raw.append(rgba.substr(y * row, row));
  }
  uLongf packed_len = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packed_len, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_len,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                Z_BEST_COMPRESSION) != Z_OK) {
    return {};
  }
  packed.resize(packed_len);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  PutBe32(&ihdr, width);
  PutBe32(&ihdr, height);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, no interlace
  PutChunk(&png, "IHDR", ihdr);
  PutChunk(&png, "IDAT", packed);
  PutChunk(&png, "IEND", {});
  return png;
}

std::string MakeIconPng(std::string_view seed, uint32_t size) {
  if (size == 0 || size > 1024) size = 120;
  uint32_t h = Fnv1a(seed);
  uint8_t r = 40 + (h & 0xFF) % 200, g = 40 + ((h >> 8) & 0xFF) % 200,
          b = 40 + ((h >> 16) & 0xFF) % 200;
  uint32_t stripe = 2 + (h >> 24) % 6;
  std::string rgba(size_t{size} * size * 4, '\0');
  // A vertical gradient with diagonal stripes; the corners stay transparent like a
  // home-screen icon's rounded mask.
  uint32_t corner = size / 6;
  for (uint32_t y = 0; y < size; ++y) {
    for (uint32_t x = 0; x < size; ++x) {
      size_t i = (size_t{y} * size + x) * 4;
      uint32_t dx = x < corner ? corner - x : (x >= size - corner ? x - (size - corner - 1) : 0);
      uint32_t dy = y < corner ? corner - y : (y >= size - corner ? y - (size - corner - 1) : 0);
      bool outside = dx * dx + dy * dy > corner * corner;
      uint32_t shade = 255 - (y * 80) / size;
      bool band = ((x + y) / (size / 8 + 1)) % stripe == 0;
      rgba[i] = static_cast<char>((band ? 255 - r : r) * shade / 255);
      rgba[i + 1] = static_cast<char>((band ? 255 - g : g) * shade / 255);
      rgba[i + 2] = static_cast<char>((band ? 255 - b : b) * shade / 255);
      rgba[i + 3] = static_cast<char>(outside ? 0 : 255);
    }
  }
  return EncodePng(size, size, rgba);
}

}  // namespace devsim
