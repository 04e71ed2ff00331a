// lockdownd's request logic, free of sockets: one request dictionary in, one reply and what
// the connection must do next out. The connection (lockdown_conn) does the I/O and the TLS.
#pragma once

#include <string>

#include "plist/plist_ptr.h"
#include "lockdown/service_registry.h"
#include "lockdown/sim_device.h"

namespace devsim {

enum class LockdownAction {
  kNone,
  kStartTls,  // after sending the reply: TLS handshake with session_certificate()
  kStopTls,   // after sending the reply: close_notify, then plain text again
  kClose,     // after sending the reply: close the connection
};

struct LockdownReply {
  Plist message;
  LockdownAction action = LockdownAction::kNone;
};

class LockdownHandler {
 public:
  LockdownHandler(SimDevice& device, const ServiceRegistry& services)
      : device_(device), services_(services) {}

  // Handles one request. `request` may be any property list (it comes from the network).
  LockdownReply Handle(plist_t request);

  bool in_session() const { return !session_id_.empty(); }
  // The certificate of the session's host, for the TLS handshake after StartSession.
  const std::string& session_certificate() const { return session_cert_; }
  // The TLS handshake failed or the host left the session: forget it.
  void EndSession();

 private:
  LockdownReply QueryType(plist_t req, Plist reply);
  LockdownReply GetValue(plist_t req, Plist reply);
  LockdownReply SetValue(plist_t req, Plist reply);
  LockdownReply Pair(plist_t req, Plist reply);
  LockdownReply ValidatePair(plist_t req, Plist reply);
  LockdownReply Unpair(plist_t req, Plist reply);
  LockdownReply StartSession(plist_t req, Plist reply);
  LockdownReply StopSession(plist_t req, Plist reply);
  LockdownReply StartService(plist_t req, Plist reply);

  SimDevice& device_;
  const ServiceRegistry& services_;
  std::string session_id_;  // empty outside a session
  std::string host_id_;     // host of the current session
  std::string session_cert_;
};

}  // namespace devsim
