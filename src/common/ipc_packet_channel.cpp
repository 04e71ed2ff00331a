#include "common/ipc_packet_channel.h"

#include <cstring>
#include <vector>

namespace bas {

IPCPacketChannel::IPCPacketChannel() {
  dispatch_thread_ = std::thread([this] { DispatchLoop(); });
}

IPCPacketChannel::~IPCPacketChannel() {
  // The receive thread calls OnData of this class: stop it before members go away.
  Close();
  JoinThreads();
  if (dispatch_thread_.joinable()) dispatch_thread_.join();
}

void IPCPacketChannel::SetPacketHandler(PacketHandler handler) {
  std::lock_guard<std::mutex> lock(handler_mutex_);
  handler_ = std::move(handler);
}

bool IPCPacketChannel::SendPacket(const IPCPacket1& packet) {
  PacketHeader header;
  header.task_id = packet.task_id;
  header.command_id = packet.command_id;
  header.kind = packet.kind;
  header.payload_length = packet.length;
  std::string_view body;
  if (packet.length > 0 && packet.payload.size() >= packet.length) {
    body = std::string_view(reinterpret_cast<const char*>(packet.payload.data()), packet.length);
  }
  header.payload_length = body.size();
  return SendMessage(packet.connection, header, std::string_view(), body);
}

bool IPCPacketChannel::SendMessage(IPCConnection* connection, const PacketHeader& header,
                                   std::string_view text, std::string_view body) {
  PacketHeader out = header;
  out.payload_length = text.size() + body.size();
  uint8_t bytes[kPacketHeaderSize];
  EncodePacketHeader(out, bytes);
  return SendParts(connection,
                   {{bytes, sizeof(bytes)}, {text.data(), text.size()}, {body.data(), body.size()}});
}

void IPCPacketChannel::Close() {
  IPCChannel::Close();
  std::lock_guard<std::mutex> lock(queue_mutex_);
  queue_cv_.notify_all();
}

void IPCPacketChannel::OnData(IPCConnection* connection, const uint8_t* data, size_t size) {
  if (data == nullptr) {
    reassembly_.erase(connection);
    auto marker = std::make_unique<IPCPacket1>();
    marker->connection = connection;
    Enqueue(std::move(marker));
    return;
  }
  auto& reassembler = reassembly_[connection];
  if (!reassembler) {
    reassembler = std::make_unique<PacketReassembler>(
        [this](PacketPtr packet) { Enqueue(std::move(packet)); },
        [this](const std::string& text) { Log(text); });
  }
  reassembler->Feed(connection, data, size);
}

bool IPCPacketChannel::MessageInProgress(IPCConnection* connection) const {
  auto found = reassembly_.find(connection);
  return found != reassembly_.end() && found->second && found->second->InProgress();
}

void IPCPacketChannel::Enqueue(PacketPtr packet) {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    queue_.push_back(std::move(packet));
  }
  queue_cv_.notify_one();
}

void IPCPacketChannel::DispatchLoop() {
  while (true) {
    PacketPtr packet;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_cv_.wait(lock, [&] { return stopping() || !queue_.empty(); });
      if (stopping()) return;
      packet = std::move(queue_.front());
      queue_.pop_front();
    }
    PacketHandler handler;
    {
      std::lock_guard<std::mutex> lock(handler_mutex_);
      handler = handler_;
    }
    if (handler) handler(std::move(packet));
  }
}

}  // namespace bas
