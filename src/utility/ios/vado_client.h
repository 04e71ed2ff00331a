// VadoClient: the one path between the front end and the modules. It owns the link to
// the front end, turns each request packet into a thread-pool job that calls the
// module registered for its command id, and sends every answer, progress report, data
// message and device event back. A private server lets an elevated second instance be
// driven through the same modules.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>

#include "common/ipc_packet_channel.h"
#include "common/message_sections.h"
#include "common/thread_pool.h"
#include "utility/ios/vado_device.h"

class CommandTable;

class VadoClient : public VadoDeviceCallback {
 public:
  VadoClient(BASThreadPool& pool, CommandTable& table);
  ~VadoClient() override;

  // The process-wide client over the process-wide pool and command table.
  static VadoClient& GetInstance();

  // Connects to the front end on `port` (0: does not connect). A failed attempt is
  // retried `retries` more times, `retry_delay` apart; retrying stops once a quit has
  // been requested.
  bool ConnectToFrontEnd(int port, int retries = 10,
                         std::chrono::milliseconds retry_delay = std::chrono::seconds(1));

  // Sends one message to the front end; safe from any thread.
  void SendReply(const ReplyRecord& record, const bas::PacketHeader& header);
  // The same for a message already built.
  void SendParts(const MessageParts& parts, const bas::PacketHeader& header);
  // A status notification: kind 1, command id = `status`, code = the device handle.
  void NotifyStatus(int32_t status, int64_t device_handle);
  void OnDeviceEvent(const VadoDevicePtr& device, int event) override;

  // Private server for an elevated second instance. A peer counts as the instance only
  // once its first packet is a hello carrying the current one-time relay token; other
  // peers are disconnected and never see a request.
  static constexpr uint32_t kRelayHelloCommand = 65001;
  // True when the server is not listening or no admitted instance is connected.
  bool ServerIdle();
  // Listens once; later calls reuse the running server.
  bool StartServer();
  int server_port() const { return server_port_; }
  // A fresh token for the next instance to present; any earlier one stops working.
  std::string NewRelayToken();
  // Sends the packet to every admitted instance.
  bool ForwardToPeers(const bas::IPCPacket1& packet);
  void QueuePending(bas::PacketPtr packet);
  // Queues the packet unless an instance is admitted (then it must be forwarded); the
  // check and the append happen under one hold of the lock, so an admission never
  // leaves it behind.
  bool QueueIfNoInstance(bas::PacketPtr& packet);
  // Empties the pending queue (requests that no instance will take).
  std::deque<bas::PacketPtr> TakePending();
  size_t PendingCount();
  // In run mode 2: presents `token` to the front end, which is the first instance's
  // private server.
  bool SendRelayHello(const std::string& token);

  bas::IPCPacketChannel& front_end() { return front_end_; }
  bas::IPCPacketChannel& server() { return server_; }

 private:
  void HandleFrontEndPacket(bas::PacketPtr packet);
  void HandleServerPacket(bas::PacketPtr packet);
  int32_t OnServerEvent(const bas::IPCEvent& event);
  void AdmitPeer(const bas::IPCPacket1& hello);

  BASThreadPool& pool_;
  CommandTable& table_;
  bas::IPCPacketChannel front_end_;
  bas::IPCPacketChannel server_;
  std::mutex reply_mutex_;                 // serialises sends; guards pending_
  std::deque<bas::PacketPtr> pending_;     // guarded by reply_mutex_
  std::set<bas::IPCConnection*> admitted_; // guarded by reply_mutex_
  std::string relay_token_;                // guarded by reply_mutex_; empty: none valid
  std::mutex server_mutex_;                // serialises StartServer
  int server_port_ = 0;
  bool server_started_ = false;
};
