// bas::IPCChannel: TCP transport on 127.0.0.1 with a select()-based receive thread,
// per-connection send locks and a heartbeat on outgoing connections. The same class
// connects out (the agent's link to its front end) or listens and accepts (a private
// server). What the bytes mean is left to subclasses through OnData.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bas {

struct IPCConnection {
  int socket = -1;
  int port = 0;
  std::string host;  // "127.0.0.1" for outgoing and listening records
  // Wall-clock seconds of the last send or receive; 0 after a heartbeat check.
  std::atomic<int64_t> last_activity{0};
  int accepted = 0;  // 1 for accepted connections and the listening record
  std::atomic<int> closed{0};
  // Set when a send missed its deadline: the peer stopped reading, every later send
  // fails at once.
  std::atomic<bool> lost{false};
  int polled = 0;  // guarded by the channel's connection-set mutex
  // Held around every write, so a message's parts and a heartbeat never interleave.
  std::mutex send_lock;
};

enum IPCEventType : int32_t {
  kEventAboutToAccept = 0,
  kEventAccepted = 1,
  kEventHeartbeatDue = 2,
  kEventHeartbeatTick = 3,
  kEventLog = 4,
};

struct IPCEvent {
  int32_t type = 0;
  IPCConnection* connection = nullptr;
  int32_t cycle = 0;
  const std::string* text = nullptr;
};

// Result matters only for kEventHeartbeatDue: 0 lets the heartbeat go out.
using IPCEventCallback = std::function<int32_t(const IPCEvent&)>;

class IPCChannel {
 public:
  static constexpr size_t kMaxPolledSockets = 64;
  static constexpr int kListenBacklog = 4;

  IPCChannel();
  virtual ~IPCChannel();
  IPCChannel(const IPCChannel&) = delete;
  IPCChannel& operator=(const IPCChannel&) = delete;

  void SetEventCallback(IPCEventCallback callback) { event_callback_ = std::move(callback); }
  // How long an outgoing connection may stay silent before a heartbeat; 30 s normally.
  void SetHeartbeatInterval(std::chrono::milliseconds interval) { heartbeat_interval_ = interval; }
  // How long one message may take to go out in full; a peer that reads nothing for that
  // long loses the link. Set before connecting.
  void SetSendDeadline(std::chrono::milliseconds deadline) { send_deadline_ = deadline; }
  // Called once, on the sending thread, when a connection is lost to the send deadline.
  // Set before connecting.
  void SetLinkLostHandler(std::function<void(IPCConnection*)> handler) {
    link_lost_handler_ = std::move(handler);
  }

  IPCConnection* Connect(int port);
  static int PickFreePort();
  IPCConnection* Listen(int port);

  // Writes all bytes (retrying partial sends) under the connection's send lock.
  bool SendRaw(IPCConnection* connection, const void* data, size_t size);
  // Writes several buffers back to back under one hold of the send lock.
  bool SendParts(IPCConnection* connection, const std::vector<std::pair<const void*, size_t>>& parts);

  virtual void Close();

  // Connections currently in the set (a snapshot).
  std::vector<IPCConnection*> Connections();
  size_t AcceptedConnectionCount();
  // Ends a connection that is still in the set; its closed marker follows as usual.
  void Disconnect(IPCConnection* connection);
  IPCConnection* listening_record() const { return listening_; }

 protected:
  // Called on the receive thread for every chunk, and once with null/0 when the
  // connection has ended.
  virtual void OnData(IPCConnection* connection, const uint8_t* data, size_t size) = 0;
  // True while a message on `connection` is partly received. A heartbeat is recognised
  // only between messages: inside one, eight 0x16 bytes are payload. Receive thread only.
  virtual bool MessageInProgress(IPCConnection* /*connection*/) const { return false; }

  int32_t RaiseEvent(int32_t type, IPCConnection* connection, int32_t cycle = 0,
                     const std::string* text = nullptr);
  void Log(const std::string& text) { RaiseEvent(kEventLog, nullptr, 0, &text); }
  // Subclasses with threads of their own stop them here; called by the destructor path.
  void JoinThreads();
  bool stopping() const { return stop_.load(); }

 private:
  IPCConnection* AddConnection(int socket, int port, const std::string& host, int accepted);
  void ReceiveLoop();
  void AcceptLoop();
  void HeartbeatLoop(IPCConnection* connection);
  void WakeReceiver();
  bool SendLocked(IPCConnection* connection, const void* data, size_t size);
  // Waits until the socket takes more bytes or the deadline passes (then the link is
  // marked lost); false when the link is lost.
  bool WaitWritable(IPCConnection* connection, std::chrono::steady_clock::time_point deadline);

  IPCEventCallback event_callback_;
  std::chrono::milliseconds heartbeat_interval_{30000};
  std::chrono::milliseconds send_deadline_{30000};
  std::function<void(IPCConnection*)> link_lost_handler_;

  std::mutex set_mutex_;
  std::condition_variable connections_changed_;
  std::set<IPCConnection*> connections_;        // guarded by set_mutex_
  std::vector<std::unique_ptr<IPCConnection>> records_;  // guarded by set_mutex_; kept for the channel's life
  IPCConnection* listening_ = nullptr;          // guarded by set_mutex_
  std::atomic<bool> stop_{false};

  int wake_pipe_[2] = {-1, -1};  // lets Close and new connections interrupt select()
  std::mutex threads_mutex_;
  std::condition_variable stop_cv_;  // wakes heartbeat sleeps on Close
  std::thread receive_thread_;
  std::thread accept_thread_;
  std::vector<std::thread> heartbeat_threads_;  // guarded by threads_mutex_
  bool joined_ = false;
};

}  // namespace bas
