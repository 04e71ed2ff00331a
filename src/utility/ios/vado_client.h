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
  // A status notification: kind 1, command id = `status`, code = the device handle.
  void NotifyStatus(int32_t status, int64_t device_handle);
  void OnDeviceEvent(const VadoDevicePtr& device, int event) override;

  // Private server for an elevated second instance.
  bool ServerIdle();
  bool StartServer();
  int server_port() const { return server_port_; }
  bool ForwardToPeers(const bas::IPCPacket1& packet);
  void QueuePending(bas::PacketPtr packet);
  size_t PendingCount();

  bas::IPCPacketChannel& front_end() { return front_end_; }
  bas::IPCPacketChannel& server() { return server_; }

 private:
  void HandleFrontEndPacket(bas::PacketPtr packet);
  void HandleServerPacket(bas::PacketPtr packet);
  int32_t OnServerEvent(const bas::IPCEvent& event);

  BASThreadPool& pool_;
  CommandTable& table_;
  bas::IPCPacketChannel front_end_;
  bas::IPCPacketChannel server_;
  std::mutex reply_mutex_;                 // serialises sends; guards pending_
  std::deque<bas::PacketPtr> pending_;     // guarded by reply_mutex_
  int server_port_ = 0;
  bool server_started_ = false;
};
