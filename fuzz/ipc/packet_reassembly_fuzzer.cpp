// Feeds arbitrary bytes, cut into arbitrary chunks, to the packet reassembler.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/packet_reassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the chunk size, as a receive loop would see the stream.
  size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;
  bas::PacketReassembler reassembler(
      [](bas::PacketPtr packet) {
        if (packet->length > bas::kMaxPayloadLength) std::abort();
        if (packet->length > 0 && packet->payload.size() != packet->length + 1) std::abort();
        if (packet->length > 0 && packet->payload.back() != 0) std::abort();
      },
      [](const std::string&) {});
  for (size_t pos = 0; pos < size; pos += chunk) {
    size_t n = size - pos < chunk ? size - pos : chunk;
    reassembler.Feed(nullptr, data + pos, n);
  }
  return 0;
}
