// Wraps a service connection's stream to inject the device's faults: a connection that drops
// after a number of bytes, and a bandwidth cap.
#pragma once

#include <chrono>
#include <cstdint>

#include "byte_stream.h"
#include "sim_device.h"

namespace devsim {

class FaultStream : public ByteStream {
 public:
  FaultStream(ByteStream& inner, const DeviceFaults& faults);
  ssize_t ReadSome(void* buf, size_t len) override;
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override;

 private:
  // Limits len to what the drop fault still allows; false once the connection is "dropped".
  bool Allow(size_t* len);
  void Pace(size_t bytes);

  ByteStream& inner_;
  int64_t drop_after_;  // -1: never
  int64_t bandwidth_;   // bytes per second, 0: unlimited
  int64_t transferred_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace devsim
