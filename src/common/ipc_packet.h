// One packet in memory: a received request or an outgoing message.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/ipc_wire_format.h"

namespace bas {

struct IPCConnection;

struct IPCPacket1 {
  uint64_t task_id = 0;
  uint16_t kind = 0;
  uint32_t command_id = 0;
  // The payload followed by one 0 byte, so texts in it can be read as C strings.
  // Empty when the payload length is 0.
  std::vector<uint8_t> payload;
  uint64_t length = 0;
  // Where it came from, or where it goes. Records live as long as their channel.
  IPCConnection* connection = nullptr;

  // Null when the payload is empty.
  const uint8_t* data() const { return payload.empty() ? nullptr : payload.data(); }

  // The closed marker: all header fields 0, no data, connection set.
  bool IsClosedMarker() const {
    return task_id == 0 && kind == 0 && command_id == 0 && length == 0 && payload.empty() &&
           connection != nullptr;
  }
};

using PacketPtr = std::unique_ptr<IPCPacket1>;

}  // namespace bas
