// The kCommand packet format spoken between the agent and its front end.
//
// Every packet is a 36-byte header followed by its payload. All integers are
// little-endian:
//
//   offset  size  field
//        0     8  magic "kCommand" (no terminator)
//        8     6  filler 01 02 03 04 05 06 (written, never checked)
//       14     8  task id (unsigned)
//       22     4  command id
//       26     2  kind
//       28     8  payload length
//       36     n  payload
//
// A heartbeat is 8 bytes of 0x16 without a header; it is recognised only when it
// arrives as one whole 8-byte read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bas {

inline constexpr char kPacketMagic[8] = {'k', 'C', 'o', 'm', 'm', 'a', 'n', 'd'};
inline constexpr size_t kPacketMagicSize = sizeof(kPacketMagic);
inline constexpr size_t kPacketHeaderSize = 36;
// Larger announced payloads are a protocol error; the receiver never allocates them.
inline constexpr uint64_t kMaxPayloadLength = 256ull << 20;
inline constexpr size_t kHeartbeatSize = 8;
inline constexpr uint8_t kHeartbeatByte = 0x16;

struct PacketHeader {
  uint64_t task_id = 0;
  uint32_t command_id = 0;
  uint16_t kind = 0;
  uint64_t payload_length = 0;
};

// Writes the 36 header bytes into `out`.
void EncodePacketHeader(const PacketHeader& header, uint8_t* out);

// Reads a header from 36 bytes; the magic is not checked here.
PacketHeader DecodePacketHeader(const uint8_t* in);

// True when the first min(size, 8) bytes agree with the magic, that is, `data` may be
// the start of a header that is still arriving.
bool MatchesMagicPrefix(const uint8_t* data, size_t size);

// True for exactly the 8 heartbeat bytes.
bool IsHeartbeat(const uint8_t* data, size_t size);

}  // namespace bas
