// Time limits of device I/O. A short exchange (a lockdown request and its reply, a service
// start, an AFC metadata request) has a total deadline; a bulk transfer has a stall limit,
// a time without progress. A call past its limit ends with the read or write error of its
// API, so a stalled device never holds a caller (or the locks it holds) for long.
//
// libimobiledevice restarts its own receive timeouts with every chunk and blocks inside TLS
// calls, so a limit is enforced from outside: a watchdog thread shuts the socket down when
// its deadline passes, which makes every call blocked on it return at once. The socket is
// useless afterwards, as a stream whose position is lost would be anyway.
#pragma once

#include <chrono>
#include <cstdint>

namespace md {

using Millis = std::chrono::milliseconds;

// Total deadline of a short exchange: VADO_MD_TIMEOUT_MS, default 10 s.
Millis ExchangeLimit();
// Longest time without progress in a bulk transfer: VADO_MD_STALL_MS, default 30 s.
Millis StallLimit();

// A limit in milliseconds from the environment variable `name`, else `fallback`.
Millis LimitFromEnv(const char* name, Millis fallback);

// Arms the watchdog for `fd` for the life of the object. fd < 0 arms nothing.
// The object must be destroyed before fd is closed.
class SocketDeadline {
 public:
  SocketDeadline(int fd, Millis limit);
  ~SocketDeadline();
  SocketDeadline(const SocketDeadline&) = delete;
  SocketDeadline& operator=(const SocketDeadline&) = delete;

  // Progress was made: the limit counts again from now (for stall limits).
  void Progress();
  // True when the deadline passed and the socket was shut down.
  bool expired() const;
  // Ends the watch early (before the socket is closed); expired() keeps its answer.
  void Disarm();

 private:
  uint64_t id_ = 0;  // 0: not armed
  Millis limit_;
  bool fired_ = false;  // set by Disarm
};

// Puts a socket in blocking mode. libusbmuxd hands out non-blocking sockets, on which
// libimobiledevice's TLS handshake sleeps 100 ms each time the peer has not answered yet;
// on a blocking socket the handshake waits exactly as long as the device takes. Every wait
// on the socket is bounded by SocketDeadline or by poll before the read.
void MakeBlocking(int fd);

// True when a socket can still carry data: no error, no hang-up.
bool SocketAlive(int fd);

}  // namespace md
