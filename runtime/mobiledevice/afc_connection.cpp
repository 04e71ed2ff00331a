#include "afc_connection.h"

#include <cstring>

#include "md_deadline.h"

using namespace md::afc;

namespace md::afc {

bool AppendPath(const char* path, std::vector<uint8_t>* out) {
  if (!path) return false;
  const size_t n = strnlen(path, kMaxPath + 1);
  if (n > kMaxPath) return false;
  out->insert(out->end(), path, path + n);
  out->push_back(0);
  return true;
}

}  // namespace md::afc

int __AFCConnection::Fail(int error) {
  broken_ = true;
  last_error_ = error;
  return error;
}

bool __AFCConnection::ReceiveLocked(void* data, size_t size, bool bulk,
                                    std::chrono::steady_clock::time_point deadline) {
  if (bulk) {
    // Each chunk may take up to the stall limit: a transfer fails only without progress.
    const auto limit = timeout_ms_ ? md::Millis(timeout_ms_) : md::StallLimit();
    return service_->ReceiveAll(data, size, static_cast<unsigned>(limit.count()));
  }
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const auto left = std::chrono::duration_cast<md::Millis>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    const int got = service_->Receive(p, size, static_cast<unsigned>(left));
    if (got <= 0) return false;
    p += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

int __AFCConnection::TransactLocked(uint64_t operation, const std::vector<uint8_t>& params,
                                    const void* payload, size_t payload_size,
                                    uint64_t max_reply, std::vector<uint8_t>* data,
                                    uint64_t* reply_op, void* into, size_t* into_size) {
  if (broken_) return last_error_ = kMuxError;
  // Reads and writes of file contents are bulk transfers with a stall limit; every other
  // request has a total deadline for its reply.
  const bool bulk = operation == kOpFileRead || operation == kOpFileWrite;
  const auto deadline =
      std::chrono::steady_clock::now() + (timeout_ms_ ? md::Millis(timeout_ms_) : md::ExchangeLimit());
  std::vector<uint8_t> request;
  request.reserve(kHeaderSize + params.size() + (payload_size <= 65536 ? payload_size : 0));
  EncodeHeader(++packet_num_, operation, params.size(), payload_size, &request);
  request.insert(request.end(), params.begin(), params.end());
  // Small payloads travel in the same write as the header.
  const bool separate_payload = payload_size > 65536;
  if (!separate_payload && payload_size) {
    const auto* p = static_cast<const uint8_t*>(payload);
    request.insert(request.end(), p, p + payload_size);
  }
  if (service_->Send(request.data(), request.size()) < 0) return Fail(kMuxError);
  if (separate_payload && service_->Send(payload, payload_size) < 0) return Fail(kMuxError);

  uint8_t raw[kHeaderSize];
  if (!ReceiveLocked(raw, sizeof raw, bulk, deadline)) return Fail(kMuxError);
  Header header;
  if (DecodeHeader(raw, packet_num_, &header) != kOk) return Fail(kHeaderInvalid);
  *reply_op = header.operation;
  const uint64_t params_size = header.this_length - kHeaderSize;
  const uint64_t total = header.entire_length - kHeaderSize;
  if (total == 0) {
    if (into_size) *into_size = 0;
    data->clear();
    return last_error_ = header.operation == kOpData ? kOk : kIoError;
  }
  if (into && header.operation == kOpData) {
    if (total > *into_size) return Fail(kTooMuchData);
    if (!ReceiveLocked(into, static_cast<size_t>(total), bulk, deadline)) {
      return Fail(kNotEnoughData);
    }
    (void)params_size;  // parameters and payload are one run of bytes here
    *into_size = static_cast<size_t>(total);
    return last_error_ = kOk;
  }
  if (total > max_reply) return Fail(kTooMuchData);
  data->resize(static_cast<size_t>(total));
  if (!ReceiveLocked(data->data(), data->size(), bulk, deadline)) {
    return Fail(kNotEnoughData);
  }
  switch (header.operation) {
    case kOpStatus:
      if (data->size() < 8) return last_error_ = kHeaderInvalid;
      return last_error_ = StatusResult(ReadU64(data->data()));
    case kOpData:
    case kOpFileOpenResult:
    case kOpFileTellResult:
      return last_error_ = kOk;
    default:
      return last_error_ = kNotSupported;
  }
}

int __AFCConnection::Request(uint64_t operation, const std::vector<uint8_t>& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> data;
  uint64_t op = 0;
  int rc = TransactLocked(operation, params, nullptr, 0, kMaxListReply, &data, &op, nullptr,
                          nullptr);
  // Only a status counts as an answer to these.
  if (rc == kOk && op != kOpStatus) rc = last_error_ = kHeaderInvalid;
  return rc;
}

int __AFCConnection::RequestStrings(uint64_t operation, const std::vector<uint8_t>& params,
                                    std::vector<std::string>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> data;
  uint64_t op = 0;
  int rc = TransactLocked(operation, params, nullptr, 0, kMaxListReply, &data, &op, nullptr,
                          nullptr);
  if (rc != kOk) return rc;
  if (op != kOpData) return last_error_ = kHeaderInvalid;
  *out = SplitStrings(data.data(), data.size());
  return kOk;
}

int __AFCConnection::OpenFile(const std::string& path, uint64_t mode, uint64_t* handle) {
  std::vector<uint8_t> params;
  AppendU64(mode, &params);
  if (!AppendPath(path.c_str(), &params)) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> data;
  uint64_t op = 0;
  int rc = TransactLocked(kOpFileOpen, params, nullptr, 0, kMaxListReply, &data, &op, nullptr,
                          nullptr);
  if (rc != kOk) return rc;
  // Handle 0 is never valid.
  if (op != kOpFileOpenResult || data.size() < 8 || ReadU64(data.data()) == 0) {
    return last_error_ = kHeaderInvalid;
  }
  *handle = ReadU64(data.data());
  return kOk;
}

int __AFCConnection::ReadFile(uint64_t handle, void* buffer, size_t* length) {
  size_t want = *length;
  *length = 0;
  if (want == 0) return kOk;
  if (want > kMaxReadChunk) want = kMaxReadChunk;
  std::vector<uint8_t> params;
  AppendU64(handle, &params);
  AppendU64(want, &params);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> data;
  uint64_t op = 0;
  size_t got = want;
  int rc = TransactLocked(kOpFileRead, params, nullptr, 0, kMaxListReply, &data, &op, buffer,
                          &got);
  if (rc != kOk) return rc;
  if (op != kOpData) return last_error_ = kHeaderInvalid;
  *length = got;
  return kOk;
}

int __AFCConnection::WriteFile(uint64_t handle, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(mutex_);
  do {
    const size_t chunk = std::min(length, kMaxWriteChunk);
    std::vector<uint8_t> params;
    AppendU64(handle, &params);
    std::vector<uint8_t> reply;
    uint64_t op = 0;
    int rc = TransactLocked(kOpFileWrite, params, p, chunk, kMaxListReply, &reply, &op,
                            nullptr, nullptr);
    if (rc != kOk) return rc;
    if (op != kOpStatus) return last_error_ = kHeaderInvalid;
    p += chunk;
    length -= chunk;
  } while (length > 0);
  return kOk;
}

int __AFCConnection::Tell(uint64_t handle, uint64_t* position) {
  std::vector<uint8_t> params;
  AppendU64(handle, &params);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> data;
  uint64_t op = 0;
  int rc = TransactLocked(kOpFileTell, params, nullptr, 0, kMaxListReply, &data, &op, nullptr,
                          nullptr);
  if (rc != kOk) return rc;
  if (op != kOpFileTellResult || data.size() < 8) return last_error_ = kHeaderInvalid;
  *position = ReadU64(data.data());
  return kOk;
}

int __AFCConnection::last_error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}
