#include "device_conn.h"

#include <cstdio>

#include "fault_stream.h"
#include "lockdown_handler.h"
#include "plist_frame.h"
#include "tls_stream.h"

namespace devsim {

void ServeLockdown(int fd, SimDevice& device, const ServiceRegistry& services) {
  SocketStream plain(fd);
  std::unique_ptr<TlsServerStream> tls;
  LockdownHandler handler(device, services);
  std::string body;
  for (;;) {
    ByteStream& stream = tls ? static_cast<ByteStream&>(*tls) : plain;
    if (ReadFrame(stream, kMaxLockdownMessage, &body) != FrameStatus::kOk) return;
    Plist request = ParsePlist(body);
    LockdownReply reply;
    if (!IsDict(request.get())) {
      reply.message = NewDict();
      SetString(reply.message.get(), "Error", "InvalidRequest");
    } else {
      reply = handler.Handle(request.get());
    }
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
        break;
      }
      case LockdownAction::kStopTls:
        if (tls) tls->Shutdown();
        tls.reset();
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
  }
  ByteStream& base = tls ? static_cast<ByteStream&>(*tls) : plain;
  DeviceFaults faults = device.faults();
  FaultStream faulty(base, faults);
  bool inject = faults.drop_service_after >= 0 || faults.service_bandwidth > 0;
  ServiceContext ctx{device, inject ? static_cast<ByteStream&>(faulty) : base, started};
  spec.run(ctx);
  if (tls) tls->Shutdown();
}

}  // namespace devsim
