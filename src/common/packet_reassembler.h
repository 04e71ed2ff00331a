// Rebuilds kCommand packets from the chunks of one byte stream.
//
// A chunk may hold part of a packet, several packets, or a packet end followed by the
// start of the next. A packet in progress is never abandoned because a later chunk
// happens to begin with the magic text (binary bodies can); the stream is
// resynchronised only between packets, by dropping bytes up to the next magic text. A header announcing more than kMaxPayloadLength bytes is a protocol error: the
// state is dropped and nothing of that size is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/ipc_packet.h"

namespace bas {

class PacketReassembler {
 public:
  using Deliver = std::function<void(PacketPtr)>;
  using Report = std::function<void(const std::string&)>;

  // `deliver` receives every complete packet in stream order; `report` gets a text for
  // every protocol error and every dropped run of bytes.
  PacketReassembler(Deliver deliver, Report report);

  void Feed(IPCConnection* connection, const uint8_t* data, size_t size);

  // True while a header or payload is partly received.
  bool InProgress() const { return header_fill_ > 0; }

 private:
  void Reset();
  void Finish(IPCConnection* connection);

  Deliver deliver_;
  Report report_;
  uint8_t header_[kPacketHeaderSize];
  size_t header_fill_ = 0;
  PacketPtr packet_;          // set once the header is complete
  uint64_t payload_fill_ = 0;
};

}  // namespace bas
