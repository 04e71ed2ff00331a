#include "common/zlib_codec.h"

#include <zlib.h>

#include <algorithm>

namespace {
constexpr size_t kStep = 64 * 1024;
}

std::string ZlibCompress(std::string_view data, int level) {
  std::string out;
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
  out.resize(deflateBound(&stream, data.size()));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&stream, Z_FINISH);
  while (result == Z_OK || (result == Z_BUF_ERROR && stream.avail_out == 0)) {
    size_t used = out.size() - stream.avail_out;
    out.resize(out.size() + kStep);
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    stream.avail_out = static_cast<uInt>(out.size() - used);
    result = deflate(&stream, Z_FINISH);
  }
  out.resize(out.size() - stream.avail_out);
  deflateEnd(&stream);
  return out;
}

std::optional<std::string> ZlibDecompress(std::string_view data, size_t max_output) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::nullopt;
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    size_t used = out.size();
    if (used >= max_output + 1) break;
    size_t grow = std::min(std::max(kStep, used), max_output + 1 - used);
    out.resize(used + grow);
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    stream.avail_out = static_cast<uInt>(grow);
    result = inflate(&stream, Z_NO_FLUSH);
    out.resize(out.size() - stream.avail_out);
    if (result != Z_OK && result != Z_STREAM_END) break;
    if (result == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) break;  // truncated
  }
  inflateEnd(&stream);
  if (result != Z_STREAM_END || out.size() > max_output) return std::nullopt;
  return out;
}
