// bas::IPCPacketChannel: an IPCChannel that frames kCommand packets. The receive thread
// reassembles packets per connection and queues them; a dispatch thread hands them,
// strictly in arrival order and one at a time, to the packet handler, which then owns
// them. When a connection ends, the handler gets one closed marker for it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/ipc_channel.h"
#include "common/ipc_packet.h"
#include "common/packet_reassembler.h"

namespace bas {

using PacketHandler = std::function<void(PacketPtr)>;

class IPCPacketChannel : public IPCChannel {
 public:
  IPCPacketChannel();
  ~IPCPacketChannel() override;

  // Set before connecting or listening.
  void SetPacketHandler(PacketHandler handler);

  // Header plus payload, sent on the packet's connection.
  bool SendPacket(const IPCPacket1& packet);
  // A reply: the header announces text + body bytes; header, text and body go out back
  // to back under the connection's send lock.
  bool SendMessage(IPCConnection* connection, const PacketHeader& header, std::string_view text,
                   std::string_view body);

  void Close() override;

 protected:
  void OnData(IPCConnection* connection, const uint8_t* data, size_t size) override;
  bool MessageInProgress(IPCConnection* connection) const override;

 private:
  void Enqueue(PacketPtr packet);
  void DispatchLoop();

  std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  std::deque<PacketPtr> queue_;  // guarded by queue_mutex_
  std::mutex handler_mutex_;
  PacketHandler handler_;        // guarded by handler_mutex_
  // Touched only by the receive thread.
  std::map<IPCConnection*, std::unique_ptr<PacketReassembler>> reassembly_;
  std::thread dispatch_thread_;
};

}  // namespace bas
