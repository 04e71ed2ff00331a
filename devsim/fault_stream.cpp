#include "fault_stream.h"

#include <algorithm>
#include <thread>

namespace devsim {

FaultStream::FaultStream(ByteStream& inner, const DeviceFaults& faults)
    : inner_(inner),
      drop_after_(faults.drop_service_after),
      bandwidth_(faults.service_bandwidth),
      start_(std::chrono::steady_clock::now()) {}

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
  if (bandwidth_ > 0) len = std::min<size_t>(len, std::max<int64_t>(bandwidth_ / 10, 1));
  ssize_t n = inner_.ReadSome(buf, len);
  if (n > 0) Pace(static_cast<size_t>(n));
  return n;
}

bool FaultStream::WriteAll(const void* buf, size_t len) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    size_t chunk = len;
    if (!Allow(&chunk)) return false;
    if (bandwidth_ > 0) chunk = std::min<size_t>(chunk, std::max<int64_t>(bandwidth_ / 10, 1));
    if (!inner_.WriteAll(p, chunk)) return false;
    Pace(chunk);
    p += chunk;
    len -= chunk;
  }
  return true;
}

}  // namespace devsim
