#include "md_service.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>
#include <unordered_map>

#include "md_deadline.h"
#include "md_errors.h"
#include "plist_bridge.h"
#include "sigpipe_guard.h"

namespace {

// Largest single transfer handed to libimobiledevice, whose lengths are 32-bit.
constexpr size_t kMaxChunk = 16u << 20;
// Largest single send: each one shows progress to the stall limit.
constexpr size_t kMaxSendChunk = 1u << 20;

std::mutex g_services_mutex;
// Live connections by handle and by socket; guarded by g_services_mutex.
auto* g_services = new std::unordered_map<const void*, md::ServiceRef>();
auto* g_sockets = new std::unordered_map<int, md::ServiceRef>();

void Register(const md::ServiceRef& service) {
  std::lock_guard<std::mutex> lock(g_services_mutex);
  (*g_services)[service.get()] = service;
  (*g_sockets)[service->socket()] = service;
}

void Unregister(const __AMDServiceConnection* service) {
  std::lock_guard<std::mutex> lock(g_services_mutex);
  auto it = g_services->find(service);
  if (it == g_services->end()) return;
  auto s = g_sockets->find(it->second->socket());
  if (s != g_sockets->end() && s->second.get() == service) g_sockets->erase(s);
  g_services->erase(it);
}

bool ReadOption(CFDictionaryRef options, const char* key) {
  if (!options || CFGetTypeID(options) != CFDictionaryGetTypeID()) return false;
  CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
  const void* value = CFDictionaryGetValue(options, name);
  CFRelease(name);
  return value && CFGetTypeID(value) == CFBooleanGetTypeID() &&
         CFBooleanGetValue(static_cast<CFBooleanRef>(value));
}

}  // namespace

__AMDServiceConnection::__AMDServiceConnection(std::shared_ptr<md::DeviceLink> link,
                                               idevice_connection_t client, int fd, bool secure,
                                               std::string name)
    : link_(std::move(link)), client_(client), fd_(fd), secure_(secure), name_(std::move(name)) {}

__AMDServiceConnection::__AMDServiceConnection(int borrowed_fd)
    : fd_(borrowed_fd), secure_(false) {}

__AMDServiceConnection::~__AMDServiceConnection() {
  if (client_) {
    md::SigpipeGuard guard;
    idevice_disconnect(client_);
  }
}

// Sends everything within the stall limit: the time without any byte leaving may not
// exceed it. libusbmuxd gives up on a socket that stays full for a second and reports 0
// bytes sent; that is a slow reader, not a broken connection, so the send goes on while the
// socket is alive and the limit has not passed.
int __AMDServiceConnection::Send(const void* data, size_t size) {
  if (invalid_ || (!data && size) || size > INT_MAX) return -1;
  std::lock_guard<std::mutex> lock(send_mutex_);
  md::SigpipeGuard guard;
  const md::Millis limit = md::StallLimit();
  // The socket is in blocking mode: a send (plain or TLS) to a device that stops reading
  // blocks until the watchdog ends it. Chunks are small enough to show progress often.
  md::SocketDeadline watch(client_ ? fd_ : -1, limit);
  auto last_progress = std::chrono::steady_clock::now();
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    if (invalid_ || watch.expired()) return -1;
    const size_t chunk = std::min(size - done, kMaxSendChunk);
    size_t sent = 0;
    if (client_) {
      uint32_t n = 0;
      const idevice_error_t err =
          idevice_connection_send(client_, p + done, static_cast<uint32_t>(chunk), &n);
      if (err != IDEVICE_E_SUCCESS && n == 0 && !md::SocketAlive(fd_)) return -1;
      sent = n;
    } else {
      const ssize_t n = send(fd_, p + done, chunk, MSG_NOSIGNAL);
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (n < 0 && errno == EAGAIN) {
        pollfd out{fd_, POLLOUT, 0};
        poll(&out, 1, 1000);
      }
      sent = n > 0 ? static_cast<size_t>(n) : 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (sent == 0) {
      if (!md::SocketAlive(fd_) || now - last_progress >= limit) return -1;
      pollfd out{fd_, POLLOUT, 0};
      poll(&out, 1, 100);
      continue;
    }
    last_progress = now;
    watch.Progress();
    done += sent;
  }
  return static_cast<int>(size);
}

int __AMDServiceConnection::Receive(void* data, size_t size, unsigned timeout_ms) {
  if (invalid_ || !data || size == 0) return -1;
  if (size > kMaxChunk) size = kMaxChunk;
  std::lock_guard<std::mutex> lock(receive_mutex_);
  if (client_) {
    md::SigpipeGuard guard;  // a TLS read may answer the peer
    // A TLS read can block inside OpenSSL on a record that never completes; past the
    // caller's timeout (and a second of grace) the watchdog ends it.
    md::SocketDeadline watch(secure_ ? fd_ : -1, md::Millis(timeout_ms) + md::Millis(1000));
    uint32_t got = 0;
    const idevice_error_t err = idevice_connection_receive_timeout(
        client_, static_cast<char*>(data), static_cast<uint32_t>(size), &got, timeout_ms);
    if (err != IDEVICE_E_SUCCESS || got == 0 || got > size) return -1;
    return static_cast<int>(got);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (invalid_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    const ssize_t n = recv(fd_, data, size, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n > 0 ? static_cast<int>(n) : -1;
  }
}

bool __AMDServiceConnection::ReceiveAll(void* data, size_t size, unsigned timeout_ms) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const int got = Receive(p, size, timeout_ms);
    if (got <= 0) return false;
    p += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

void __AMDServiceConnection::Invalidate() {
  if (invalid_.exchange(true)) return;
  // Wakes a reader blocked on the socket; the client itself is freed with the object,
  // once no call holds it any more.
  if (client_) shutdown(fd_, SHUT_RDWR);
}

namespace md {

unsigned ServiceReceiveTimeoutMs() {
  static const unsigned limit =
      static_cast<unsigned>(LimitFromEnv("VADO_MD_RECEIVE_MS", Millis(10 * 60 * 1000)).count());
  return limit;
}

ServiceRef FindService(AMDServiceConnectionRef connection) {
  if (!connection) return nullptr;
  std::lock_guard<std::mutex> lock(g_services_mutex);
  auto it = g_services->find(connection);
  return it == g_services->end() ? nullptr : it->second;
}

ServiceRef FindServiceBySocket(int fd) {
  std::lock_guard<std::mutex> lock(g_services_mutex);
  auto it = g_sockets->find(fd);
  return it == g_sockets->end() ? nullptr : it->second;
}

}  // namespace md

extern "C" {

int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef name, CFDictionaryRef options,
                               AMDServiceConnectionRef* connection) {
  if (connection) *connection = nullptr;
  std::string service_name;
  if (!md::IsDevice(device) || !connection || !md::CfStringToUtf8(name, &service_name) ||
      service_name.empty()) {
    return md::kInvalidArgumentError;
  }
  const bool escrow = ReadOption(options, "UnlockEscrowBag");
  lockdownd_service_descriptor_t descriptor = nullptr;
  std::shared_ptr<md::DeviceLink> link;
  int rc;
  {
    md::SigpipeGuard guard;
    rc = md::StartLockdownService(device, service_name.c_str(), escrow, &descriptor, &link);
  }
  if (rc != md::kSuccess) return rc;
  if (!descriptor || descriptor->port == 0) {
    lockdownd_service_descriptor_free(descriptor);
    return md::kInvalidResponseError;
  }
  const bool secure = descriptor->ssl_enabled != 0;
  const uint16_t port = descriptor->port;
  lockdownd_service_descriptor_free(descriptor);
  idevice_connection_t client = nullptr;
  int fd = -1;
  {
    md::SigpipeGuard guard;
    if (idevice_connect(link->get(), port, &client) != IDEVICE_E_SUCCESS || !client) {
      return md::kMuxError;
    }
    if (idevice_connection_get_fd(client, &fd) != IDEVICE_E_SUCCESS || fd < 0) {
      idevice_disconnect(client);
      return md::kMuxError;
    }
    // Every wait on the socket is bounded (poll before reads, the watchdog elsewhere), and
    // a blocking socket keeps the TLS handshake from sleeping between its steps.
    md::MakeBlocking(fd);
    if (secure) {
      md::SocketDeadline watch(fd, md::ExchangeLimit());
      const bool ok = idevice_connection_enable_ssl(client) == IDEVICE_E_SUCCESS;
      watch.Disarm();
      if (!ok) {
        idevice_disconnect(client);
        return watch.expired() ? md::kTimeOutError : md::kSslError;
      }
    }
  }
  auto service = std::make_shared<__AMDServiceConnection>(std::move(link), client, fd, secure,
                                                          service_name);
  Register(service);
  *connection = service.get();
  return md::kSuccess;
}

int AMDServiceConnectionSend(AMDServiceConnectionRef connection, const void* data, size_t size) {
  auto service = md::FindService(connection);
  return service ? service->Send(data, size) : -1;
}

int AMDServiceConnectionReceive(AMDServiceConnectionRef connection, void* data, size_t size) {
  auto service = md::FindService(connection);
  return service ? service->Receive(data, size, md::ServiceReceiveTimeoutMs()) : -1;
}

int AMDServiceConnectionGetSocket(AMDServiceConnectionRef connection) {
  auto service = md::FindService(connection);
  return service ? service->socket() : -1;
}

int AMDServiceConnectionInvalidate(AMDServiceConnectionRef connection) {
  auto service = md::FindService(connection);
  if (!service) return md::kInvalidArgumentError;
  Unregister(service.get());
  service->Invalidate();
  return md::kSuccess;
}

void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef connection) {
  auto service = md::FindService(connection);
  // Only tested against null: any stable non-null value marks a TLS connection.
  return service && service->secure() ? static_cast<void*>(connection) : nullptr;
}

int AMDeviceStartService(AMDeviceRef, CFStringRef, AMDServiceHandle* handle, unsigned int*) {
  // Services are started with AMDeviceSecureStartService, whose connection owns its socket.
  if (handle) *handle = -1;
  return md::kUnsupportedError;
}

}  // extern "C"
