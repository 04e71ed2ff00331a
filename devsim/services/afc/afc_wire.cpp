#include "services/afc/afc_wire.h"

#include <cstring>

namespace devsim::afc {

uint64_t ReadLe64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

void AppendLe64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

HeaderError DecodeHeader(const uint8_t* bytes, Header* out) {
  const char* p = reinterpret_cast<const char*>(bytes);
  out->entire_length = ReadLe64(p + 8);
  out->this_length = ReadLe64(p + 16);
  out->packet_num = ReadLe64(p + 24);
  out->operation = ReadLe64(p + 32);
  if (std::memcmp(p, kMagic, 8) != 0) return HeaderError::kBadMagic;
  if (out->this_length < kHeaderSize || out->entire_length < out->this_length) {
    return HeaderError::kBadLengths;
  }
  if (out->this_length - kHeaderSize > kMaxHeaderData) return HeaderError::kHeaderDataTooLong;
  if (out->entire_length - out->this_length > kMaxPayload) return HeaderError::kPayloadTooLong;
  return HeaderError::kNone;
}

void EncodeHeader(const Header& h, uint8_t* out) {
  std::string s(kMagic, 8);
  AppendLe64(&s, h.entire_length);
  AppendLe64(&s, h.this_length);
  AppendLe64(&s, h.packet_num);
  AppendLe64(&s, h.operation);
  std::memcpy(out, s.data(), kHeaderSize);
}

std::string ReplyHeader(uint64_t packet_num, uint64_t op, uint64_t data_len, uint64_t payload_len) {
  std::string s(kMagic, 8);
  AppendLe64(&s, kHeaderSize + data_len + payload_len);
  AppendLe64(&s, kHeaderSize + data_len);
  AppendLe64(&s, packet_num);
  AppendLe64(&s, op);
  return s;
}

bool ReadCString(std::string_view data, size_t offset, std::string* out, size_t* next) {
  if (offset >= data.size()) return false;
  size_t end = data.find('\0', offset);
  if (end == std::string_view::npos) end = data.size();  // tolerate a missing final NUL
  out->assign(data.substr(offset, end - offset));
  *next = end + 1;
  return true;
}

}  // namespace devsim::afc
