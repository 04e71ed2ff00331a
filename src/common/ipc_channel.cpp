#include "common/ipc_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/ipc_wire_format.h"

namespace bas {
namespace {

// The heartbeat cycle counter starts at 1 and wraps back to 1 before 0x40000000.
constexpr int32_t kCycleWrap = 0x40000000;

// One receive takes up to this much. Block uploads are megabytes each: small reads would
// cost one select() and one reassembly step per few kilobytes.
constexpr size_t kReceiveBufferSize = 256 * 1024;

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

std::string Format(const char* format, long a, long b = 0) {
  char text[260];
  std::snprintf(text, sizeof(text), format, a, b);
  return text;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

IPCChannel::IPCChannel() {
  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe_[0] = wake_pipe_[1] = -1;
  }
  receive_thread_ = std::thread([this] { ReceiveLoop(); });
}

IPCChannel::~IPCChannel() {
  Close();
  JoinThreads();
  {
    std::lock_guard<std::mutex> lock(set_mutex_);
    for (auto& record : records_) {
      if (record->socket >= 0) ::close(record->socket);
      record->socket = -1;
    }
  }
  if (wake_pipe_[0] >= 0) ::close(wake_pipe_[0]);
  if (wake_pipe_[1] >= 0) ::close(wake_pipe_[1]);
}

int32_t IPCChannel::RaiseEvent(int32_t type, IPCConnection* connection, int32_t cycle,
                               const std::string* text) {
  if (!event_callback_) return 0;
  IPCEvent event;
  event.type = type;
  event.connection = connection;
  event.cycle = cycle;
  event.text = text;
  return event_callback_(event);
}

void IPCChannel::WakeReceiver() {
  if (wake_pipe_[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_pipe_[1], &byte, 1);
  }
}

IPCConnection* IPCChannel::AddConnection(int socket, int port, const std::string& host,
                                         int accepted) {
  IPCConnection* connection;
  {
    std::lock_guard<std::mutex> lock(set_mutex_);
    auto record = std::make_unique<IPCConnection>();
    record->socket = socket;
    record->port = port;
    record->host = host;
    record->accepted = accepted;
    connection = record.get();
    records_.push_back(std::move(record));
    connections_.insert(connection);
  }
  connections_changed_.notify_all();
  WakeReceiver();
  return connection;
}

IPCConnection* IPCChannel::Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Log(Format("connect error: %d", errno));
    return nullptr;
  }
  sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    Log(Format("connect error: %d", errno));
    ::close(fd);
    return nullptr;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  IPCConnection* connection = AddConnection(fd, port, "127.0.0.1", 0);
  std::lock_guard<std::mutex> lock(threads_mutex_);
  if (!stop_) heartbeat_threads_.emplace_back([this, connection] { HeartbeatLoop(connection); });
  return connection;
}

int IPCChannel::PickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    std::printf("socket() error: %s\n", std::strerror(errno));
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    std::printf("bind() error: %s\n", std::strerror(errno));
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::printf("getsockname() error: %s\n", std::strerror(errno));
    ::close(fd);
    return -1;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

IPCConnection* IPCChannel::Listen(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return nullptr;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address = Loopback(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    ::close(fd);
    return nullptr;
  }
  IPCConnection* record;
  {
    std::lock_guard<std::mutex> lock(set_mutex_);
    auto owned = std::make_unique<IPCConnection>();
    owned->socket = fd;
    owned->port = port;
    owned->host = "127.0.0.1";
    owned->accepted = 1;
    record = owned.get();
    records_.push_back(std::move(owned));
    listening_ = record;
  }
  std::lock_guard<std::mutex> lock(threads_mutex_);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return record;
}

bool IPCChannel::WaitWritable(IPCConnection* connection,
                              std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (connection->lost.load()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd entry{connection->socket, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  // The peer has read nothing for the whole deadline. Shutting the socket down ends the
  // receive side too, so the link is treated as gone everywhere.
  if (!connection->lost.exchange(true)) {
    Log(Format("send deadline of %ld ms passed; link lost", static_cast<long>(send_deadline_.count())));
    ::shutdown(connection->socket, SHUT_RDWR);
    if (link_lost_handler_) link_lost_handler_(connection);
  }
  return false;
}

bool IPCChannel::SendLocked(IPCConnection* connection, const void* data, size_t size) {
  if (connection->lost.load()) return false;
  const auto deadline = std::chrono::steady_clock::now() + send_deadline_;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = ::send(connection->socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable(connection, deadline)) continue;
      return false;
    }
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool IPCChannel::SendRaw(IPCConnection* connection, const void* data, size_t size) {
  return SendParts(connection, {{data, size}});
}

bool IPCChannel::SendParts(IPCConnection* connection,
                           const std::vector<std::pair<const void*, size_t>>& parts) {
  if (connection == nullptr) return false;
  connection->last_activity.store(NowSeconds());
  // One gathered write per message keeps small replies in one segment; partial writes
  // advance through the parts until every byte is out.
  std::vector<iovec> vectors;
  vectors.reserve(parts.size());
  for (const auto& [data, size] : parts) {
    if (size > 0) vectors.push_back(iovec{const_cast<void*>(data), size});
  }
  std::lock_guard<std::mutex> lock(connection->send_lock);
  if (connection->lost.load()) return false;
  // One deadline for the whole message, however its bytes trickle out.
  const auto deadline = std::chrono::steady_clock::now() + send_deadline_;
  size_t first = 0;
  while (first < vectors.size()) {
    msghdr message{};
    message.msg_iov = vectors.data() + first;
    message.msg_iovlen = std::min<size_t>(vectors.size() - first, IOV_MAX);
    ssize_t sent = ::sendmsg(connection->socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable(connection, deadline)) continue;
      return false;
    }
    size_t left = static_cast<size_t>(sent);
    while (first < vectors.size() && left >= vectors[first].iov_len) {
      left -= vectors[first].iov_len;
      ++first;
    }
    if (left > 0) {
      vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
      vectors[first].iov_len -= left;
    }
  }
  return true;
}

void IPCChannel::Close() {
  stop_ = true;
  {
    std::lock_guard<std::mutex> lock(set_mutex_);
    for (IPCConnection* connection : connections_) {
      ::shutdown(connection->socket, SHUT_RDWR);
    }
    connections_.clear();
    if (listening_ != nullptr) ::shutdown(listening_->socket, SHUT_RDWR);
  }
  connections_changed_.notify_all();
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    stop_cv_.notify_all();
  }
  WakeReceiver();
}

void IPCChannel::JoinThreads() {
  std::vector<std::thread> heartbeats;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    if (joined_) return;
    joined_ = true;
    heartbeats.swap(heartbeat_threads_);
  }
  if (receive_thread_.joinable()) receive_thread_.join();
  if (accept_thread_.joinable()) accept_thread_.join();
  for (auto& thread : heartbeats) thread.join();
}

std::vector<IPCConnection*> IPCChannel::Connections() {
  std::lock_guard<std::mutex> lock(set_mutex_);
  return {connections_.begin(), connections_.end()};
}

size_t IPCChannel::AcceptedConnectionCount() {
  std::lock_guard<std::mutex> lock(set_mutex_);
  size_t count = 0;
  for (IPCConnection* connection : connections_) count += connection->accepted == 1;
  return count;
}

void IPCChannel::Disconnect(IPCConnection* connection) {
  std::lock_guard<std::mutex> lock(set_mutex_);
  if (connections_.count(connection) == 0 || connection->socket < 0) return;
  // The receive thread sees the end of the stream and removes the connection itself.
  ::shutdown(connection->socket, SHUT_RDWR);
}

void IPCChannel::ReceiveLoop() {
  fd_set polled;
  FD_ZERO(&polled);
  std::vector<int> polled_sockets;
  std::vector<uint8_t> storage(kReceiveBufferSize);
  uint8_t* buffer = storage.data();

  while (!stop_) {
    std::vector<IPCConnection*> snapshot;
    int highest = wake_pipe_[0];
    {
      std::unique_lock<std::mutex> lock(set_mutex_);
      connections_changed_.wait(lock, [&] { return stop_ || !connections_.empty(); });
      if (stop_) break;
      snapshot.assign(connections_.begin(), connections_.end());
      for (IPCConnection* connection : snapshot) {
        if (connection->polled) continue;
        connection->polled = 1;
        // select() cannot watch descriptors past FD_SETSIZE; such a connection, like
        // one beyond the per-channel limit, is marked polled but never read.
        if (polled_sockets.size() < kMaxPolledSockets && connection->socket >= 0 &&
            connection->socket < FD_SETSIZE) {
          FD_SET(connection->socket, &polled);
          polled_sockets.push_back(connection->socket);
        }
      }
    }
    for (int socket : polled_sockets) highest = std::max(highest, socket);

    fd_set readable = polled;
    if (wake_pipe_[0] >= 0) FD_SET(wake_pipe_[0], &readable);
    timeval timeout{1, 0};
    int ready = ::select(highest + 1, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno != EINTR) Log(Format("SelectRecv select() failed: %d", errno));
      continue;
    }
    if (wake_pipe_[0] >= 0 && FD_ISSET(wake_pipe_[0], &readable)) {
      char drain[64];
      while (::read(wake_pipe_[0], drain, sizeof(drain)) > 0) {
      }
    }
    for (IPCConnection* connection : snapshot) {
      int socket = connection->socket;
      if (socket < 0 || socket >= FD_SETSIZE || !FD_ISSET(socket, &polled) ||
          !FD_ISSET(socket, &readable)) {
        continue;
      }
      ssize_t received = ::recv(socket, buffer, storage.size(), 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) {
        Log(Format("SelectRecv recv: readed: %ld,code: %d", static_cast<long>(received),
                   received < 0 ? errno : 0));
        {
          std::lock_guard<std::mutex> lock(set_mutex_);
          connections_.erase(connection);
          FD_CLR(socket, &polled);
          std::erase(polled_sockets, socket);
        }
        if (connection->closed.exchange(1) == 0) OnData(connection, nullptr, 0);
        continue;
      }
      connection->last_activity.store(NowSeconds());
      if (!MessageInProgress(connection) && IsHeartbeat(buffer, static_cast<size_t>(received))) {
        Log(Format("SelectRecv Heart Test Receive: %ld", static_cast<long>(received)));
        continue;
      }
      OnData(connection, buffer, static_cast<size_t>(received));
    }
  }
}

void IPCChannel::AcceptLoop() {
  IPCConnection* listening;
  {
    std::lock_guard<std::mutex> lock(set_mutex_);
    listening = listening_;
  }
  while (!stop_) {
    RaiseEvent(kEventAboutToAccept, listening);
    int fd = ::accept4(listening->socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (stop_) break;
      // A persistent accept failure (descriptor exhaustion) must not spin.
      std::unique_lock<std::mutex> lock(threads_mutex_);
      stop_cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop_.load(); });
      continue;
    }
    int value = 0;
    socklen_t length = sizeof(value);
    if (::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length) == 0) {
      Log(Format("SO_KEEPALIVE Value: %ld", value));
    }
    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) == 0) {
      Log("Set SO_KEEPALIVE: ON");
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // Accepted sockets stay blocking.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
      Log("Set ioctlsocket : FIONBIO ON");
    }
    if (stop_) {
      ::close(fd);
      break;
    }
    IPCConnection* connection = AddConnection(fd, listening->port, std::string(), 1);
    RaiseEvent(kEventAccepted, connection);
  }
}

void IPCChannel::HeartbeatLoop(IPCConnection* connection) {
  int32_t cycle = 0;
  while (!stop_) {
    {
      std::lock_guard<std::mutex> lock(set_mutex_);
      if (connections_.count(connection) == 0 || connection->closed) return;
    }
    {
      std::unique_lock<std::mutex> lock(threads_mutex_);
      if (stop_cv_.wait_for(lock, heartbeat_interval_, [&] { return stop_.load(); })) return;
    }
    cycle = cycle + 1 >= kCycleWrap ? 1 : cycle + 1;
    RaiseEvent(kEventHeartbeatTick, connection, cycle);
    if (connection->last_activity.exchange(0) != 0) continue;
    if (event_callback_ && RaiseEvent(kEventHeartbeatDue, connection, cycle) != 0) continue;
    uint8_t beat[kHeartbeatSize];
    std::memset(beat, kHeartbeatByte, sizeof(beat));
    // Sent under the send lock so it never lands inside a message; it does not count
    // as activity, so a silent link gets one heartbeat per interval.
    std::lock_guard<std::mutex> lock(connection->send_lock);
    SendLocked(connection, beat, sizeof(beat));
  }
}

}  // namespace bas
