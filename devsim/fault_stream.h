// Wraps a service connection's stream to inject the device's faults: a connection that drops
// after a number of bytes, a bandwidth cap, a device that stops sending (service-stall) and
// one that stops reading for a while (read-pause).
#pragma once

#include <chrono>
#include <cstdint>

#include "byte_stream.h"
#include "sim_device.h"

namespace devsim {

// Waits while `holds` stays true; false when the host hung up meanwhile. Never reads fd.
template <class Holds>
bool WaitWhileStalled(int fd, Holds holds);

// True when the host closed its end of fd (checked for at most `wait_ms`).
bool HostHungUp(int fd, int wait_ms);

class FaultStream : public ByteStream {
 public:
  // `fd` is the connection's socket (to notice a host that leaves during a stall);
  // `service` names the service the connection runs.
  FaultStream(ByteStream& inner, SimDevice& device, int fd, const std::string& service);
  // True when any fault applies to a connection of `service`.
  static bool Applies(const DeviceFaults& faults, const std::string& service);
  ssize_t ReadSome(void* buf, size_t len) override;
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override;

 private:
  // Limits len to what the drop fault still allows; false once the connection is "dropped".
  bool Allow(size_t* len);
  void Pace(size_t bytes);

  ByteStream& inner_;
  SimDevice& device_;
  const int fd_;
  int64_t drop_after_;   // -1: never
  int64_t bandwidth_;    // bytes per second, 0: unlimited
  int64_t stall_after_;  // bytes sent before the send stall; -1: none
  int64_t pause_after_;  // bytes read before the read pause; -1: none
  int64_t pause_ms_;
  int64_t transferred_ = 0;
  int64_t sent_ = 0;
  int64_t received_ = 0;
  std::chrono::steady_clock::time_point start_;
};

template <class Holds>
bool WaitWhileStalled(int fd, Holds holds) {
  while (holds()) {
    if (HostHungUp(fd, 50)) return false;
  }
  return true;
}

}  // namespace devsim
