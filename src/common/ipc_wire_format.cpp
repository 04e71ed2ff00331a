#include "common/ipc_wire_format.h"

#include <cstring>

namespace bas {
namespace {

constexpr uint8_t kFiller[6] = {1, 2, 3, 4, 5, 6};

void PutLE(uint8_t* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLE(const uint8_t* in, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace

void EncodePacketHeader(const PacketHeader& header, uint8_t* out) {
  std::memcpy(out, kPacketMagic, kPacketMagicSize);
  std::memcpy(out + 8, kFiller, sizeof(kFiller));
  PutLE(out + 14, header.task_id, 8);
  PutLE(out + 22, header.command_id, 4);
  PutLE(out + 26, header.kind, 2);
  PutLE(out + 28, header.payload_length, 8);
}

PacketHeader DecodePacketHeader(const uint8_t* in) {
  PacketHeader header;
  header.task_id = GetLE(in + 14, 8);
  header.command_id = static_cast<uint32_t>(GetLE(in + 22, 4));
  header.kind = static_cast<uint16_t>(GetLE(in + 26, 2));
  header.payload_length = GetLE(in + 28, 8);
  return header;
}

bool MatchesMagicPrefix(const uint8_t* data, size_t size) {
  size_t n = size < kPacketMagicSize ? size : kPacketMagicSize;
  return std::memcmp(data, kPacketMagic, n) == 0;
}

bool IsHeartbeat(const uint8_t* data, size_t size) {
  if (size != kHeartbeatSize) return false;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != kHeartbeatByte) return false;
  }
  return true;
}

}  // namespace bas
