#include "lockdown_handler.h"

#include <openssl/evp.h>

#include "cert_util.h"

namespace devsim {
namespace {

LockdownReply Fail(Plist reply, const char* error) {
  SetString(reply.get(), "Error", error);
  return {std::move(reply), LockdownAction::kNone};
}

LockdownReply Ok(Plist reply, LockdownAction action = LockdownAction::kNone) {
  return {std::move(reply), action};
}

// The certificate the host issued must carry this device's public key, or the later TLS
// handshake could not work; refusing it here gives the host a clear error instead.
bool CertificateMatchesKey(const std::string& pem, EVP_PKEY* key) {
  X509Ptr cert = LoadCertificatePem(pem);
  if (!cert) return false;
  EVP_PKEY* pub = X509_get0_pubkey(cert.get());
  return pub && EVP_PKEY_eq(pub, key) == 1;
}

}  // namespace

void LockdownHandler::EndSession() {
  session_id_.clear();
  host_id_.clear();
  session_cert_.clear();
}

LockdownReply LockdownHandler::Handle(plist_t request) {
  Plist reply = NewDict();
  auto name = DictString(request, "Request");
  if (!name) return Fail(std::move(reply), "InvalidRequest");
  SetString(reply.get(), "Request", *name);
  const std::string& r = *name;
  if (r == "QueryType") return QueryType(request, std::move(reply));
  if (r == "GetValue") return GetValue(request, std::move(reply));
  if (r == "SetValue") return SetValue(request, std::move(reply));
  if (r == "RemoveValue") return Fail(std::move(reply), "RemoveProhibited");
  if (r == "Pair") return Pair(request, std::move(reply));
  if (r == "ValidatePair") return ValidatePair(request, std::move(reply));
  if (r == "Unpair") return Unpair(request, std::move(reply));
  if (r == "StartSession") return StartSession(request, std::move(reply));
  if (r == "StopSession") return StopSession(request, std::move(reply));
  if (r == "StartService") return StartService(request, std::move(reply));
  if (r == "Goodbye") return Ok(std::move(reply), LockdownAction::kClose);
  return Fail(std::move(reply), "InvalidRequest");
}

LockdownReply LockdownHandler::QueryType(plist_t, Plist reply) {
  SetString(reply.get(), "Type", "com.apple.mobile.lockdown");
  return Ok(std::move(reply));
}

LockdownReply LockdownHandler::GetValue(plist_t req, Plist reply) {
  auto domain = DictString(req, "Domain");
  auto key = DictString(req, "Key");
  if (domain) SetString(reply.get(), "Domain", *domain);
  if (key) SetString(reply.get(), "Key", *key);
  std::string error;
  Plist value = device_.GetValue(domain, key, in_session(), &error);
  if (!value) return Fail(std::move(reply), error.c_str());
  SetNode(reply.get(), "Value", std::move(value));
  return Ok(std::move(reply));
}

LockdownReply LockdownHandler::SetValue(plist_t req, Plist reply) {
  auto domain = DictString(req, "Domain");
  auto key = DictString(req, "Key");
  if (domain) SetString(reply.get(), "Domain", *domain);
  if (key) SetString(reply.get(), "Key", *key);
  if (!in_session()) return Fail(std::move(reply), "SessionInactive");
  if (!key) return Fail(std::move(reply), "MissingKey");
  plist_t value = DictItem(req, "Value");
  if (!value) return Fail(std::move(reply), "MissingValue");
  std::string error = device_.SetValue(domain, *key, value);
  if (!error.empty()) return Fail(std::move(reply), error.c_str());
  return Ok(std::move(reply));
}

LockdownReply LockdownHandler::Pair(plist_t req, Plist reply) {
  if (device_.wifi()) return Fail(std::move(reply), "PairingProhibitedOverThisConnection");
  plist_t rec = DictItem(req, "PairRecord");
  if (!IsDict(rec)) return Fail(std::move(reply), "InvalidPairRecord");
  HostPairing host;
  host.host_id = DictString(rec, "HostID").value_or("");
  host.system_buid = DictString(rec, "SystemBUID").value_or("");
  host.host_certificate = DictData(rec, "HostCertificate").value_or("");
  host.root_certificate = DictData(rec, "RootCertificate").value_or("");
  host.device_certificate = DictData(rec, "DeviceCertificate").value_or("");
  if (host.host_id.empty()) return Fail(std::move(reply), "MissingHostID");
  if (!CertificateMatchesKey(host.device_certificate, device_.key())) {
    return Fail(std::move(reply), "InvalidPairRecord");
  }
  switch (device_.Pair(host)) {
    case PairOutcome::kPaired:
      SetData(reply.get(), "EscrowBag", device_.escrow_bag());
      return Ok(std::move(reply));
    case PairOutcome::kPending:
      return Fail(std::move(reply), "PairingDialogResponsePending");
    case PairOutcome::kDenied:
      return Fail(std::move(reply), "UserDeniedPairing");
    case PairOutcome::kLocked:
      return Fail(std::move(reply), "PasswordProtected");
    case PairOutcome::kInvalidRecord:
      break;
  }
  return Fail(std::move(reply), "InvalidPairRecord");
}

LockdownReply LockdownHandler::ValidatePair(plist_t req, Plist reply) {
  auto host_id = DictString(DictItem(req, "PairRecord"), "HostID");
  if (!host_id) return Fail(std::move(reply), "InvalidPairRecord");
  if (!device_.FindHost(*host_id)) return Fail(std::move(reply), "InvalidHostID");
  return Ok(std::move(reply));
}

// Forgetting a host the device does not know is not an error: the host only wants it gone.
LockdownReply LockdownHandler::Unpair(plist_t req, Plist reply) {
  auto host_id = DictString(DictItem(req, "PairRecord"), "HostID");
  if (!host_id) host_id = DictString(req, "HostID");
  if (!host_id) return Fail(std::move(reply), "InvalidPairRecord");
  device_.Unpair(*host_id);
  if (*host_id == host_id_) EndSession();
  return Ok(std::move(reply));
}

LockdownReply LockdownHandler::StartSession(plist_t req, Plist reply) {
  if (in_session()) return Fail(std::move(reply), "SessionActive");
  auto host_id = DictString(req, "HostID");
  if (!host_id) return Fail(std::move(reply), "MissingHostID");
  auto host = device_.FindHost(*host_id);
  if (!host) return Fail(std::move(reply), "InvalidHostID");
  session_id_ = RandomUuid();
  host_id_ = *host_id;
  session_cert_ = host->device_certificate;
  SetString(reply.get(), "SessionID", session_id_);
  SetBool(reply.get(), "EnableSessionSSL", true);
  return Ok(std::move(reply), LockdownAction::kStartTls);
}

LockdownReply LockdownHandler::StopSession(plist_t req, Plist reply) {
  if (!in_session()) return Fail(std::move(reply), "SessionInactive");
  auto id = DictString(req, "SessionID");
  if (!id) return Fail(std::move(reply), "MissingSessionID");
  if (*id != session_id_) return Fail(std::move(reply), "InvalidSessionID");
  EndSession();
  return Ok(std::move(reply), LockdownAction::kStopTls);
}

LockdownReply LockdownHandler::StartService(plist_t req, Plist reply) {
  auto name = DictString(req, "Service");
  if (!name) return Fail(std::move(reply), "MissingService");
  SetString(reply.get(), "Service", *name);
  if (!in_session()) return Fail(std::move(reply), "SessionInactive");
  const ServiceSpec* spec = services_.Find(*name, device_);
  if (!spec || device_.faults().refused_services.count(*name)) {
    return Fail(std::move(reply), "InvalidService");
  }
  if (spec->needs_unlock && device_.locked()) return Fail(std::move(reply), "PasswordProtected");
  if (plist_t bag = DictItem(req, "EscrowBag")) {
    auto bytes = DataValue(bag);
    if (!bytes || *bytes != device_.escrow_bag()) return Fail(std::move(reply), "EscrowLocked");
  }
  PendingService pending{*name, host_id_, device_.wifi() || spec->ssl_over_usb};
  uint16_t port = device_.OpenServicePort(pending);
  SetUint(reply.get(), "Port", port);
  if (pending.ssl) SetBool(reply.get(), "EnableServiceSSL", true);
  return Ok(std::move(reply));
}

}  // namespace devsim
