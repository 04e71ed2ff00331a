#include "fault_stream.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace devsim {

bool HostHungUp(int fd, int wait_ms) {
  pollfd entry{fd, POLLRDHUP, 0};
  int n = ::poll(&entry, 1, wait_ms);
  if (n < 0) return errno != EINTR;
  return n > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

namespace {

bool StallMatches(const DeviceFaults& faults, const std::string& service) {
  return faults.service_stall_after >= 0 &&
         (faults.service_stall_name.empty() || faults.service_stall_name == service);
}

}  // namespace

FaultStream::FaultStream(ByteStream& inner, SimDevice& device, int fd, const std::string& service)
    : inner_(inner), device_(device), fd_(fd), start_(std::chrono::steady_clock::now()) {
  DeviceFaults faults = device.faults();
  drop_after_ = faults.drop_service_after;
  bandwidth_ = faults.service_bandwidth;
  stall_after_ = StallMatches(faults, service) ? faults.service_stall_after : -1;
  pause_after_ = faults.read_pause_after;
  pause_ms_ = faults.read_pause_ms;
}

bool FaultStream::Applies(const DeviceFaults& faults, const std::string& service) {
  return faults.drop_service_after >= 0 || faults.service_bandwidth > 0 ||
         StallMatches(faults, service) || faults.read_pause_after >= 0;
}

bool FaultStream::Allow(size_t* len) {
  if (drop_after_ < 0) return true;
  int64_t left = drop_after_ - transferred_;
  if (left <= 0) return false;
  *len = std::min<size_t>(*len, static_cast<size_t>(left));
  return true;
}

// Sleeps until the bytes moved so far fit the configured rate.
void FaultStream::Pace(size_t bytes) {
  transferred_ += static_cast<int64_t>(bytes);
  if (bandwidth_ <= 0) return;
  auto due = start_ + std::chrono::duration<double>(double(transferred_) / double(bandwidth_));
  std::this_thread::sleep_until(std::chrono::time_point_cast<std::chrono::steady_clock::duration>(due));
}

ssize_t FaultStream::ReadSome(void* buf, size_t len) {
  if (!Allow(&len)) return 0;
  if (pause_after_ >= 0) {
    if (received_ >= pause_after_) {
      // The pause happens once; the host's writes meanwhile fill the socket.
      pause_after_ = -1;
      if (HostHungUp(fd_, static_cast<int>(pause_ms_))) return 0;
    } else {
      len = std::min<size_t>(len, static_cast<size_t>(pause_after_ - received_));
    }
  }
  if (bandwidth_ > 0) len = std::min<size_t>(len, std::max<int64_t>(bandwidth_ / 10, 1));
  ssize_t n = inner_.ReadSome(buf, len);
  if (n > 0) {
    received_ += n;
    Pace(static_cast<size_t>(n));
  }
  return n;
}

bool FaultStream::WriteAll(const void* buf, size_t len) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    size_t chunk = len;
    if (!Allow(&chunk)) return false;
    if (stall_after_ >= 0) {
      if (sent_ >= stall_after_) {
        // The device goes quiet until the fault is cleared or runs out, or the host leaves.
        stall_after_ = -1;
        if (!WaitWhileStalled(fd_, [this] { return device_.ServiceStallHolds(); })) return false;
      } else {
        chunk = std::min<size_t>(chunk, static_cast<size_t>(stall_after_ - sent_));
      }
    }
    if (bandwidth_ > 0) chunk = std::min<size_t>(chunk, std::max<int64_t>(bandwidth_ / 10, 1));
    if (!inner_.WriteAll(p, chunk)) return false;
    sent_ += static_cast<int64_t>(chunk);
    Pace(chunk);
    p += chunk;
    len -= chunk;
  }
  return true;
}

}  // namespace devsim
