// One AFC conversation on a service connection. Every request holds the connection's
// mutex from sending until its reply is read, so any number of threads may share one
// connection. A reply that breaks the framing (bad header, wrong packet number, over the
// size limits, short read) marks the connection broken: the stream position is lost, so
// every later request fails instead of reading someone else's reply.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "afc_wire.h"
#include "md_service.h"

struct __AFCConnection {
  __AFCConnection(md::ServiceRef service, unsigned timeout_ms)
      : service_(std::move(service)), timeout_ms_(timeout_ms) {}

  // Simple requests answered with a status.
  int Request(uint64_t operation, const std::vector<uint8_t>& params);
  // Requests answered with NUL-separated strings.
  int RequestStrings(uint64_t operation, const std::vector<uint8_t>& params,
                     std::vector<std::string>* out);
  int OpenFile(const std::string& path, uint64_t mode, uint64_t* handle);
  // Reads up to *length bytes (capped per request); *length becomes the count read.
  int ReadFile(uint64_t handle, void* buffer, size_t* length);
  int WriteFile(uint64_t handle, const void* data, size_t length);
  int Tell(uint64_t handle, uint64_t* position);
  int last_error();

 private:
  // Sends one request and reads its reply. DATA bytes go into `into` when given (at most
  // *into_size; out: the count), otherwise into `data` (at most `max_reply`).
  int TransactLocked(uint64_t operation, const std::vector<uint8_t>& params,
                     const void* payload, size_t payload_size, uint64_t max_reply,
                     std::vector<uint8_t>* data, uint64_t* reply_op, void* into,
                     size_t* into_size);
  int Fail(int error);  // marks the stream broken; mutex held
  // Fills `size` bytes: a bulk transfer within the stall limit per chunk, anything else by
  // `deadline`. Mutex held.
  bool ReceiveLocked(void* data, size_t size, bool bulk,
                     std::chrono::steady_clock::time_point deadline);

  md::ServiceRef service_;
  const unsigned timeout_ms_;  // the caller's I/O timeout; 0: the library's limits
  std::mutex mutex_;         // one request at a time; guards the fields below
  uint64_t packet_num_ = 0;  // number of the last request sent
  bool broken_ = false;
  int last_error_ = 0;
};

namespace md::afc {

// Path parameters: the path and its NUL; false for a null or over-long path.
bool AppendPath(const char* path, std::vector<uint8_t>* out);

}  // namespace md::afc
