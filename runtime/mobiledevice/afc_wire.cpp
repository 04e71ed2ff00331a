#include "afc_wire.h"

#include <cstring>

namespace md::afc {

void AppendU64(uint64_t value, std::vector<uint8_t>* out) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t ReadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void EncodeHeader(uint64_t packet_num, uint64_t operation, size_t params, size_t payload,
                  std::vector<uint8_t>* out) {
  out->insert(out->end(), kMagic, kMagic + sizeof kMagic);
  AppendU64(kHeaderSize + params + payload, out);
  AppendU64(kHeaderSize + params, out);
  AppendU64(packet_num, out);
  AppendU64(operation, out);
}

int DecodeHeader(const uint8_t (&bytes)[kHeaderSize], uint64_t expected_packet, Header* out) {
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return kHeaderInvalid;
  out->entire_length = ReadU64(bytes + 8);
  out->this_length = ReadU64(bytes + 16);
  out->packet_num = ReadU64(bytes + 24);
  out->operation = ReadU64(bytes + 32);
  if (out->packet_num != expected_packet || out->this_length < kHeaderSize ||
      out->entire_length < out->this_length) {
    return kHeaderInvalid;
  }
  return kOk;
}

std::vector<std::string> SplitStrings(const uint8_t* data, size_t size) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      out.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
      start = i + 1;
    }
  }
  if (start < size) out.emplace_back(reinterpret_cast<const char*>(data + start), size - start);
  return out;
}

int StatusResult(uint64_t status) {
  if (status == 0) return kOk;
  return status <= 0xFFFF ? static_cast<int>(status) : kUnknownError;
}

}  // namespace md::afc
