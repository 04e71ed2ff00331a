#include "plist/plist_frame.h"

namespace devsim {

uint32_t DecodeFrameLength(const uint8_t* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

std::string EncodeFrame(std::string_view body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string out;
  out.reserve(kFrameHeaderSize + body.size());
  out += static_cast<char>(n >> 24);
  out += static_cast<char>(n >> 16);
  out += static_cast<char>(n >> 8);
  out += static_cast<char>(n);
  out.append(body);
  return out;
}

FrameStatus ReadFrame(ByteStream& in, uint32_t max, std::string* body) {
  uint8_t hdr[kFrameHeaderSize];
  ssize_t first = in.ReadSome(hdr, sizeof hdr);
  if (first <= 0) return FrameStatus::kClosed;
  if (static_cast<size_t>(first) < sizeof hdr &&
      !in.ReadExact(hdr + first, sizeof hdr - static_cast<size_t>(first))) {
    return FrameStatus::kTruncated;
  }
  uint32_t len = DecodeFrameLength(hdr);
  if (len == 0) return FrameStatus::kEmpty;
  if (len > max) return FrameStatus::kTooLong;
  body->resize(len);
  if (!in.ReadExact(body->data(), len)) return FrameStatus::kTruncated;
  return FrameStatus::kOk;
}

bool WritePlistFrame(ByteStream& out, plist_t msg, bool binary) {
  std::string frame = EncodeFrame(binary ? ToBinary(msg) : ToXml(msg));
  return out.WriteAll(frame.data(), frame.size());
}

}  // namespace devsim
