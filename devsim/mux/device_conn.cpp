#include "mux/device_conn.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "mux/fault_stream.h"
#include "lockdown/lockdown_handler.h"
#include "plist/plist_frame.h"
#include "mux/tls_stream.h"

namespace devsim {
namespace {

// TLS record header: content type, version (2 bytes), length (2 bytes).
constexpr uint8_t kTlsAlertRecord = 0x15;
constexpr uint8_t kTlsMajorVersion = 0x03;

// Waits briefly for the client's close_notify after a session ends and drops it. A
// plain frame can never start with 0x15 0x03: its big-endian length would exceed every
// frame limit.
void DiscardTlsAlert(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 1000) != 1) return;
  uint8_t header[5];
  ssize_t n = ::recv(fd, header, sizeof(header), MSG_PEEK);
  if (n != static_cast<ssize_t>(sizeof(header)) || header[0] != kTlsAlertRecord ||
      header[1] != kTlsMajorVersion) {
    return;
  }
  size_t length = sizeof(header) + ((size_t{header[3]} << 8) | header[4]);
  std::vector<uint8_t> record(length);
  size_t got = 0;
  while (got < length) {
    ssize_t r = ::recv(fd, record.data() + got, length - got, 0);
    if (r <= 0) return;
    got += static_cast<size_t>(r);
  }
}

}  // namespace

void ServeLockdown(int fd, SimDevice& device, const ServiceRegistry& services) {
  SocketStream plain(fd);
  std::unique_ptr<TlsServerStream> tls;
  LockdownHandler handler(device, services);
  std::string body;
  for (;;) {
    ByteStream& stream = tls ? static_cast<ByteStream&>(*tls) : plain;
    if (ReadFrame(stream, kMaxLockdownMessage, &body) != FrameStatus::kOk) return;
    Plist request = ParsePlist(body);
    // A stalled device keeps the request unanswered; the host can only give up and close.
    if (device.ConsumeLockdownStall(DictString(request.get(), "Request").value_or("")) &&
        !WaitWhileStalled(fd, [&device] { return device.LockdownStallHolds(); })) {
      return;
    }
    LockdownReply reply;
    if (!IsDict(request.get())) {
      reply.message = NewDict();
      SetString(reply.message.get(), "Error", "InvalidRequest");
    } else {
      reply = handler.Handle(request.get());
    }
    const std::chrono::milliseconds latency = device.LockdownLatency();
    if (latency.count() > 0) std::this_thread::sleep_for(latency);
    if (!WritePlistFrame(stream, reply.message.get())) return;
    switch (reply.action) {
      case LockdownAction::kNone:
        break;
      case LockdownAction::kClose:
        return;
      case LockdownAction::kStartTls: {
        std::string error;
        tls = TlsServerStream::Accept(fd, device.key(), handler.session_certificate(), &error);
        if (!tls) {
          std::fprintf(stderr, "vado-devsimd: %s: %s\n", device.udid().c_str(), error.c_str());
          return;
        }
        device.CountHandshake();
        break;
      }
      case LockdownAction::kStopTls:
        // Back to plain text without a close_notify of ours: the client does not read
        // one, and it would be taken for the start of the next plain reply. The
        // client's own close_notify is dropped before the next plain request.
        if (tls) {
          tls.reset();
          DiscardTlsAlert(fd);
        }
        break;
    }
  }
}

void ServeService(int fd, SimDevice& device, const ServiceSpec& spec,
                  const PendingService& started) {
  SocketStream plain(fd);
  std::unique_ptr<TlsServerStream> tls;
  if (started.ssl) {
    auto host = device.FindHost(started.host_id);
    if (!host) return;
    std::string error;
    tls = TlsServerStream::Accept(fd, device.key(), host->device_certificate, &error);
    if (!tls) return;
    device.CountHandshake();
  }
  ByteStream& base = tls ? static_cast<ByteStream&>(*tls) : plain;
  FaultStream faulty(base, device, fd, started.name);
  bool inject = FaultStream::Applies(device.faults(), started.name);
  ServiceContext ctx{device, inject ? static_cast<ByteStream&>(faulty) : base, started, fd};
  spec.run(ctx);
  if (tls) tls->Shutdown();
}

}  // namespace devsim
