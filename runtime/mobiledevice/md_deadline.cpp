#include "md_deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace md {
namespace {

using Clock = std::chrono::steady_clock;

struct Entry {
  int fd;
  Clock::time_point deadline;
  bool fired = false;
};

// How long the watchdog waits when no deadline is armed.
constexpr std::chrono::seconds kIdleLook{1};

// The watchdog's table; its mutex is held only to add, move, remove or fire entries,
// never across device I/O (shutdown() does not block).
struct Watchdog {
  std::mutex mutex;
  std::condition_variable wake;
  std::map<uint64_t, Entry> entries;  // guarded by mutex
  uint64_t next_id = 1;               // guarded by mutex
  bool started = false;               // guarded by mutex
  // When the watchdog looks next, guarded by mutex. A new entry wakes it only when its
  // deadline comes before that: most exchanges arm and disarm a deadline seconds away, and
  // waking a thread for each would cost two context switches per exchange.
  Clock::time_point planned = Clock::time_point::max();

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      auto earliest = Clock::time_point::max();
      const auto now = Clock::now();
      for (auto& [id, e] : entries) {
        if (e.fired) continue;
        if (e.deadline <= now) {
          shutdown(e.fd, SHUT_RDWR);
          e.fired = true;
        } else if (e.deadline < earliest) {
          earliest = e.deadline;
        }
      }
      // With nothing armed it still looks once a second, so arming a deadline further
      // away than that needs no wake-up.
      planned = earliest == Clock::time_point::max() ? now + kIdleLook : earliest;
      wake.wait_until(lock, planned);
    }
  }
};

// Never destroyed: the thread waits on it for the life of the process.
Watchdog& TheWatchdog() {
  static Watchdog* w = new Watchdog();
  return *w;
}

}  // namespace

Millis LimitFromEnv(const char* name, Millis fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long long ms = std::strtoll(text, &end, 10);
  if (*end != '\0' || ms <= 0 || ms > 24LL * 3600 * 1000) return fallback;
  return Millis(ms);
}

Millis ExchangeLimit() {
  static const Millis limit = LimitFromEnv("VADO_MD_TIMEOUT_MS", Millis(10000));
  return limit;
}

Millis StallLimit() {
  static const Millis limit = LimitFromEnv("VADO_MD_STALL_MS", Millis(30000));
  return limit;
}

SocketDeadline::SocketDeadline(int fd, Millis limit) : limit_(limit) {
  if (fd < 0) return;
  Watchdog& w = TheWatchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (!w.started) {
    w.started = true;
    std::thread([&w] { w.Run(); }).detach();
  }
  id_ = w.next_id++;
  const Clock::time_point deadline = Clock::now() + limit;
  w.entries[id_] = Entry{fd, deadline};
  if (deadline < w.planned) w.wake.notify_one();
}

SocketDeadline::~SocketDeadline() { Disarm(); }

void SocketDeadline::Disarm() {
  if (!id_) return;
  Watchdog& w = TheWatchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.entries.find(id_);
  if (it != w.entries.end()) {
    fired_ = it->second.fired;
    w.entries.erase(it);
  }
  id_ = 0;
}

void SocketDeadline::Progress() {
  if (!id_) return;
  Watchdog& w = TheWatchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.entries.find(id_);
  // A later deadline needs no wake-up: the watchdog looks again when the old one passes.
  if (it != w.entries.end() && !it->second.fired) it->second.deadline = Clock::now() + limit_;
}

bool SocketDeadline::expired() const {
  if (!id_) return fired_;
  Watchdog& w = TheWatchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.entries.find(id_);
  return it != w.entries.end() && it->second.fired;
}

void MakeBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

bool SocketAlive(int fd) {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  pollfd p{fd, POLLOUT, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

}  // namespace md
