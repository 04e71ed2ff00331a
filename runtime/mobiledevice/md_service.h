// Service connections: a started device service reached through usbmuxd, plain or TLS.
//
// Handles given to the caller are looked up in a registry before use, so a stale or foreign
// pointer fails cleanly; each call holds a reference, so invalidating a connection while
// another thread uses it never frees memory under that thread.
#pragma once

#include <libimobiledevice/libimobiledevice.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "md_api.h"
#include "md_device.h"

struct __AMDServiceConnection {
  // A started service (owns `client`).
  __AMDServiceConnection(std::shared_ptr<md::DeviceLink> link, idevice_connection_t client,
                         int fd, bool secure, std::string name);
  // A socket the caller owns, used as a plain connection (never closed here).
  explicit __AMDServiceConnection(int borrowed_fd);
  ~__AMDServiceConnection();
  __AMDServiceConnection(const __AMDServiceConnection&) = delete;
  __AMDServiceConnection& operator=(const __AMDServiceConnection&) = delete;

  // Bytes sent (all of them), or -1.
  int Send(const void* data, size_t size);
  // Bytes received (at least 1), or -1 on error, end of stream, timeout or invalidation.
  // A TLS connection fills the whole request before returning.
  int Receive(void* data, size_t size, unsigned timeout_ms);
  // Fills `size` bytes; false on any failure.
  bool ReceiveAll(void* data, size_t size, unsigned timeout_ms);
  // Closes the connection; later calls fail. Interrupts a receive in progress.
  void Invalidate();

  int socket() const { return fd_; }
  bool secure() const { return secure_; }
  const std::string& name() const { return name_; }

 private:
  std::shared_ptr<md::DeviceLink> link_;  // keeps the device handle alive for `client_`
  idevice_connection_t client_ = nullptr;  // null for a borrowed socket
  const int fd_;
  const bool secure_;
  const std::string name_;
  std::mutex send_mutex_;     // one writer at a time
  std::mutex receive_mutex_;  // one reader at a time
  std::atomic<bool> invalid_{false};
};

namespace md {

using ServiceRef = std::shared_ptr<__AMDServiceConnection>;

// The live connection behind a handle, or null.
ServiceRef FindService(AMDServiceConnectionRef connection);
// The live connection whose socket is `fd`, or null.
ServiceRef FindServiceBySocket(int fd);

// Wait for a reply on a service connection (AMDServiceConnectionReceive):
// $VADO_MD_RECEIVE_MS, default ten minutes. Services such as backup may stay silent for
// long while the device prepares; callers that want less use their own loop.
unsigned ServiceReceiveTimeoutMs();

}  // namespace md
