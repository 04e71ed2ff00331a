#include "common/packet_reassembler.h"

#include <algorithm>
#include <cstring>

namespace bas {
namespace {

// Payload memory is reserved up to this much at once; larger packets grow as their
// bytes arrive, so a peer cannot make us commit memory it never sends.
constexpr uint64_t kReserveStep = 16ull << 20;

// Offset of the first place in `data` where a header may start: a full magic, or a
// magic prefix that runs to the end of the data. `size` when there is none.
size_t FindHeaderStart(const uint8_t* data, size_t size) {
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == static_cast<uint8_t>(kPacketMagic[0]) &&
        MatchesMagicPrefix(data + i, size - i)) {
      return i;
    }
  }
  return size;
}

}  // namespace

PacketReassembler::PacketReassembler(Deliver deliver, Report report)
    : deliver_(std::move(deliver)), report_(std::move(report)) {}

void PacketReassembler::Reset() {
  header_fill_ = 0;
  packet_.reset();
  payload_fill_ = 0;
}

void PacketReassembler::Finish(IPCConnection* connection) {
  PacketPtr packet = std::move(packet_);
  if (packet->length > 0) packet->payload.push_back(0);
  packet->connection = connection;
  Reset();
  deliver_(std::move(packet));
}

void PacketReassembler::Feed(IPCConnection* connection, const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const uint8_t* chunk = data + pos;
    size_t left = size - pos;

    if (!packet_) {
      if (header_fill_ == 0 && !MatchesMagicPrefix(chunk, left)) {
        // Between packets: skip to the next header start in this chunk, so a heartbeat
        // or stray bytes merged with a packet in one read do not cost the packet.
        size_t skip = FindHeaderStart(chunk, left);
        report_("dropped " + std::to_string(skip) + " bytes outside any packet");
        pos += skip;
        continue;
      }
      size_t take = std::min(left, kPacketHeaderSize - header_fill_);
      std::memcpy(header_ + header_fill_, chunk, take);
      header_fill_ += take;
      pos += take;
      if (!MatchesMagicPrefix(header_, header_fill_)) {
        // The bytes kept from earlier reads were not a header after all. Drop them and
        // look at this read again from its start: it may begin a real packet.
        report_("header does not start with the magic text; resynchronising");
        Reset();
        pos -= take;
        continue;
      }
      if (header_fill_ < kPacketHeaderSize) continue;

      PacketHeader header = DecodePacketHeader(header_);
      if (header.payload_length > kMaxPayloadLength) {
        report_("announced payload of " + std::to_string(header.payload_length) +
                " bytes exceeds the limit; resynchronising");
        Reset();
        continue;
      }
      packet_ = std::make_unique<IPCPacket1>();
      packet_->task_id = header.task_id;
      packet_->command_id = header.command_id;
      packet_->kind = header.kind;
      packet_->length = header.payload_length;
      if (header.payload_length > 0) {
        packet_->payload.reserve(std::min(header.payload_length + 1, kReserveStep));
      } else {
        Finish(connection);
      }
      continue;
    }

    uint64_t want = packet_->length - payload_fill_;
    size_t take = static_cast<size_t>(std::min<uint64_t>(want, left));
    packet_->payload.insert(packet_->payload.end(), chunk, chunk + take);
    payload_fill_ += take;
    pos += take;
    if (payload_fill_ == packet_->length) Finish(connection);
  }
}

}  // namespace bas
