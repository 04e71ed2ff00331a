#include "md_device.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "md_deadline.h"
#include "md_errors.h"
#include "md_lockdown.h"
#include "plist_bridge.h"
#include "sigpipe_guard.h"

struct __AMDevice {
  __AMDevice(std::string id, int type) : udid(std::move(id)), interface_type(type) {}
  const std::string udid;
  const int interface_type;

  std::mutex state_mutex;  // guards the three fields below; never held across I/O
  uint32_t mux_id = 0;
  uint64_t attachment = 0;  // incremented on every attach
  bool attached = false;

  // What is known of the pairing for one attachment; never held across I/O.
  std::mutex pair_mutex;
  uint64_t pair_attachment = 0;  // the attachment host_id was read for; 0: nothing cached
  std::string host_id;           // HostID of the pair record usbmuxd keeps
  bool pairing_validated = false;

  // Serialises the lockdown conversation (one request at a time on the socket) and guards
  // the fields below. Held across one exchange with this device only, each bounded by the
  // exchange deadline, so it never delays another device.
  std::mutex io_mutex;
  // The lockdown connection lives as long as the attachment: logical sessions and
  // connections (AMDeviceStartSession/StopSession, AMDeviceConnect/Disconnect) come and go
  // on it, so a request costs round trips, not TLS handshakes.
  std::shared_ptr<md::DeviceLink> link;
  lockdownd_client_t lockdown = nullptr;
  int lockdown_fd = -1;        // its socket, when it could be found (deadlines need it)
  char* session_id = nullptr;  // libimobiledevice's allocation; the TLS session on `lockdown`
  bool link_primed = false;    // the link knows the firmware version (picks the TLS range)
  bool session_open = false;   // between AMDeviceStartSession and AMDeviceStopSession
  bool connected = false;      // between AMDeviceConnect and AMDeviceDisconnect
};

namespace md {
namespace {

std::mutex g_table_mutex;
// Every device object ever made, in first-seen order; never shrinks. Guarded by
// g_table_mutex, as is g_known.
std::vector<AMDeviceRef>* g_devices = new std::vector<AMDeviceRef>();
std::unordered_set<const void*>* g_known = new std::unordered_set<const void*>();

int TypeOf(const usbmuxd_device_info_t& info) {
  return info.conn_type == CONNECTION_TYPE_NETWORK ? kInterfaceNetwork : kInterfaceUsb;
}

std::string UdidOf(const usbmuxd_device_info_t& info) {
  return std::string(info.udid, strnlen(info.udid, sizeof info.udid));
}

AMDeviceRef FindLocked(const std::string& udid, int type) {
  for (AMDeviceRef d : *g_devices) {
    if (d->udid == udid && d->interface_type == type) return d;
  }
  return nullptr;
}

// Drops the lockdown connection and its session; io_mutex held. The link (device handle)
// and what it learnt stay for the attachment.
void CloseLockdownLocked(AMDeviceRef d) {
  if (d->lockdown) {
    // A live session ends politely, within the exchange deadline; a dead socket skips it.
    if (d->session_id && d->lockdown_fd >= 0 && SocketAlive(d->lockdown_fd)) {
      SocketDeadline deadline(d->lockdown_fd, ExchangeLimit());
      lockdownd_stop_session(d->lockdown, d->session_id);
    }
    lockdownd_client_free(d->lockdown);
    d->lockdown = nullptr;
  }
  d->lockdown_fd = -1;
  free(d->session_id);
  d->session_id = nullptr;
}

// Forgets everything of an earlier attachment; io_mutex held.
void ResetAttachmentLocked(AMDeviceRef d) {
  CloseLockdownLocked(d);
  d->link.reset();
  d->link_primed = false;
  d->session_open = false;
}

// Current attachment; false when detached.
bool CurrentAttachment(AMDeviceRef d, uint64_t* attachment) {
  std::lock_guard<std::mutex> lock(d->state_mutex);
  *attachment = d->attachment;
  return d->attached;
}

// The lockdown client for the current attachment, connecting if needed; io_mutex held.
int EnsureLockdownLocked(AMDeviceRef d) {
  uint64_t attachment = 0;
  if (!CurrentAttachment(d, &attachment)) {
    ResetAttachmentLocked(d);
    return kDeviceDisconnectedError;
  }
  // A connection from an earlier attachment leads nowhere.
  if (d->link && d->link->attachment() != attachment) ResetAttachmentLocked(d);
  // A kept connection the device has closed meanwhile is replaced.
  if (d->lockdown && d->lockdown_fd >= 0 && !SocketAlive(d->lockdown_fd)) CloseLockdownLocked(d);
  if (d->lockdown) return kSuccess;
  if (!d->link) {
    std::shared_ptr<DeviceLink> link;
    int rc = OpenLink(d, &link);
    if (rc != kSuccess) return rc;
    d->link = std::move(link);
  }
  lockdownd_client_t client = nullptr;
  lockdownd_error_t lerr = NewLockdownClient(d->link, ExchangeLimit(), &client);
  if (lerr != LOCKDOWN_E_SUCCESS) return FromLockdown(lerr);
  d->lockdown = client;
  d->lockdown_fd = LockdownSocket(client, d->link->get());
  if (d->lockdown_fd >= 0) MakeBlocking(d->lockdown_fd);
  return kSuccess;
}

// One bounded exchange on the device's lockdown connection; io_mutex held. Afterwards a
// connection that timed out or broke is dropped, so the next call starts afresh.
class LockdownExchange {
 public:
  explicit LockdownExchange(AMDeviceRef d) : d_(d), deadline_(d->lockdown_fd, ExchangeLimit()) {}
  ~LockdownExchange() {
    deadline_.Disarm();
    if (broken_ || deadline_.expired() ||
        (d_->lockdown_fd >= 0 && !SocketAlive(d_->lockdown_fd))) {
      CloseLockdownLocked(d_);
    }
  }
  // The connection is in an unknown state (a failed TLS step, a transport error).
  void Break() { broken_ = true; }
  // The result of a lockdown call, with a timeout reported as one.
  int Result(lockdownd_error_t lerr) const {
    if (lerr != LOCKDOWN_E_SUCCESS && deadline_.expired()) return kTimeOutError;
    return FromLockdown(lerr);
  }

 private:
  AMDeviceRef d_;
  SocketDeadline deadline_;
  bool broken_ = false;
};

// Text of a string node; empty when absent.
std::string StringItem(plist_t dict, const char* key) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* s = nullptr;
  plist_get_string_val(node, &s);
  std::string out = s ? s : "";
  free(s);
  return out;
}

// The HostID of the device's pair record, read through usbmuxd once per attachment (a
// missing record is looked for again each time: pairing may add it).
std::string HostId(AMDeviceRef d) {
  uint64_t attachment = 0;
  CurrentAttachment(d, &attachment);
  {
    std::lock_guard<std::mutex> lock(d->pair_mutex);
    if (d->pair_attachment == attachment && !d->host_id.empty()) return d->host_id;
  }
  plist_t record = ReadPairRecord(d->udid);
  std::string host_id = StringItem(record, "HostID");
  plist_free(record);
  std::lock_guard<std::mutex> lock(d->pair_mutex);
  if (d->pair_attachment != attachment || d->host_id != host_id) d->pairing_validated = false;
  d->pair_attachment = attachment;
  d->host_id = host_id;
  return host_id;
}

// libimobiledevice picks the TLS versions it offers from the firmware version. It is
// recorded from a plain GetValue; only when that cannot be done is a throw-away session
// made, whose handshake records it (only with a pair record present, because without one
// the handshake would start pairing). io_mutex held.
void PrimeLinkLocked(AMDeviceRef d) {
  if (d->link_primed || !d->link) return;
  if (d->lockdown && RecordFirmwareVersion(d->lockdown, d->link->get(), d->udid)) {
    d->link_primed = true;
    return;
  }
  lockdownd_client_t probe = nullptr;
  if (lockdownd_client_new_with_handshake(d->link->get(), &probe, LockdownLabel()) ==
      LOCKDOWN_E_SUCCESS) {
    lockdownd_client_free(probe);
  }
  d->link_primed = true;
}

// The TLS session on the lockdown connection, started if there is none; io_mutex held and
// the connection made.
int EnsureSessionLocked(AMDeviceRef d) {
  if (d->session_id) return kSuccess;
  const std::string host_id = HostId(d);
  if (host_id.empty()) return kMissingPairRecordError;
  LockdownExchange exchange(d);
  PrimeLinkLocked(d);
  if (!d->lockdown) return kTimeOutError;
  char* session_id = nullptr;
  lockdownd_error_t lerr =
      lockdownd_start_session(d->lockdown, host_id.c_str(), &session_id, nullptr);
  if (lerr != LOCKDOWN_E_SUCCESS) {
    free(session_id);
    // The socket is in an unknown TLS state; the exchange's end closes it.
    if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) exchange.Break();
    return exchange.Result(lerr);
  }
  if (!session_id) session_id = strdup("");
  d->session_id = session_id;
  std::lock_guard<std::mutex> lock(d->pair_mutex);
  d->pairing_validated = true;  // the device accepted the host
  return kSuccess;
}

bool ValidDevice(AMDeviceRef device) { return IsDevice(device); }

}  // namespace

void ForgetPairing(AMDeviceRef d) {
  std::lock_guard<std::mutex> lock(d->pair_mutex);
  d->pair_attachment = 0;
  d->host_id.clear();
  d->pairing_validated = false;
}

DeviceLink::~DeviceLink() {
  if (device_) idevice_free(device_);
}

const char* LockdownLabel() { return "MobileDevice"; }

AMDeviceRef AttachDevice(const usbmuxd_device_info_t& info) {
  const std::string udid = UdidOf(info);
  if (udid.empty()) return nullptr;
  AMDeviceRef d = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    d = FindLocked(udid, TypeOf(info));
    if (!d) {
      d = new __AMDevice(udid, TypeOf(info));
      g_devices->push_back(d);
      g_known->insert(d);
    }
  }
  std::lock_guard<std::mutex> lock(d->state_mutex);
  if (!d->attached || d->mux_id != info.handle) ++d->attachment;
  d->mux_id = info.handle;
  d->attached = true;
  return d;
}

AMDeviceRef DetachDevice(const usbmuxd_device_info_t& info) {
  AMDeviceRef d = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    d = FindLocked(UdidOf(info), TypeOf(info));
  }
  if (!d) return nullptr;
  std::lock_guard<std::mutex> lock(d->state_mutex);
  if (!d->attached || d->mux_id != info.handle) return nullptr;
  d->attached = false;
  return d;
}

std::vector<AMDeviceRef> AttachedDevices() {
  std::vector<AMDeviceRef> all;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    all = *g_devices;
  }
  std::vector<AMDeviceRef> out;
  for (AMDeviceRef d : all) {
    if (DeviceAttached(d)) out.push_back(d);
  }
  return out;
}

bool IsDevice(AMDeviceRef device) {
  if (!device) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  return g_known->count(device) != 0;
}

const std::string& DeviceUdid(AMDeviceRef device) { return device->udid; }

bool DeviceAttached(AMDeviceRef device) {
  std::lock_guard<std::mutex> lock(device->state_mutex);
  return device->attached;
}

int OpenLink(AMDeviceRef d, std::shared_ptr<DeviceLink>* link) {
  uint64_t attachment = 0;
  if (!CurrentAttachment(d, &attachment)) return kDeviceDisconnectedError;
  const auto options = d->interface_type == kInterfaceNetwork ? IDEVICE_LOOKUP_NETWORK
                                                               : IDEVICE_LOOKUP_USBMUX;
  idevice_t handle = nullptr;
  if (idevice_new_with_options(&handle, d->udid.c_str(), options) != IDEVICE_E_SUCCESS ||
      !handle) {
    return kMuxError;
  }
  *link = std::make_shared<DeviceLink>(handle, attachment);
  return kSuccess;
}

plist_t ReadPairRecord(const std::string& udid) {
  char* bytes = nullptr;
  uint32_t size = 0;
  if (usbmuxd_read_pair_record(udid.c_str(), &bytes, &size) != 0 || !bytes) {
    free(bytes);
    return nullptr;
  }
  plist_t record = nullptr;
  if (size >= 8 && memcmp(bytes, "bplist00", 8) == 0) {
    plist_from_bin(bytes, size, &record);
  } else if (size > 0) {
    plist_from_xml(bytes, size, &record);
  }
  free(bytes);
  if (record && plist_get_node_type(record) != PLIST_DICT) {
    plist_free(record);
    record = nullptr;
  }
  return record;
}

int StartLockdownService(AMDeviceRef d, const char* name, bool with_escrow_bag,
                         lockdownd_service_descriptor_t* service,
                         std::shared_ptr<DeviceLink>* link) {
  std::lock_guard<std::mutex> lock(d->io_mutex);
  int rc = EnsureLockdownLocked(d);
  if (rc != kSuccess) return rc;
  if (!d->session_open) return kSessionInactiveError;
  rc = EnsureSessionLocked(d);
  if (rc != kSuccess) return rc;
  LockdownExchange exchange(d);
  lockdownd_error_t lerr = with_escrow_bag
                               ? lockdownd_start_service_with_escrow_bag(d->lockdown, name, service)
                               : lockdownd_start_service(d->lockdown, name, service);
  if (lerr == LOCKDOWN_E_INVALID_CONF && with_escrow_bag) return kEscrowLockedError;
  if (lerr != LOCKDOWN_E_SUCCESS) {
    // A broken socket leaves the client unusable; the next call reconnects.
    if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR ||
        lerr == LOCKDOWN_E_RECEIVE_TIMEOUT) {
      exchange.Break();
    }
    return exchange.Result(lerr);
  }
  *link = d->link;
  return kSuccess;
}

}  // namespace md

using md::kSuccess;

extern "C" {

int AMDeviceGetInterfaceType(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return 0;
  return device->interface_type;
}

unsigned int AMDeviceGetConnectionID(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return 0;
  std::lock_guard<std::mutex> lock(device->state_mutex);
  return device->mux_id;
}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return nullptr;
  return CFStringCreateWithCString(nullptr, device->udid.c_str(), kCFStringEncodingUTF8);
}

int AMDeviceConnect(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  const int rc = md::EnsureLockdownLocked(device);
  device->connected = rc == kSuccess;
  return rc;
}

// Ends the caller's use of the connection. The lockdown connection itself stays for the
// attachment (a detached device's is dropped).
int AMDeviceDisconnect(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  device->connected = false;
  device->session_open = false;
  if (!md::DeviceAttached(device)) md::ResetAttachmentLocked(device);
  return kSuccess;
}

int AMDeviceIsPaired(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return 0;
  return md::HostId(device).empty() ? 0 : 1;
}

int AMDeviceValidatePairing(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (!device->connected) return md::kNotConnectedError;
  int rc = md::EnsureLockdownLocked(device);
  if (rc != kSuccess) return rc;
  if (md::HostId(device).empty()) return md::kMissingPairRecordError;
  {
    // A validation (or a session) on this attachment with this pair record stands.
    std::lock_guard<std::mutex> pair_lock(device->pair_mutex);
    if (device->pairing_validated) return kSuccess;
  }
  md::LockdownExchange exchange(device);
  rc = exchange.Result(lockdownd_validate_pair(device->lockdown, nullptr));
  if (rc == kSuccess) {
    std::lock_guard<std::mutex> pair_lock(device->pair_mutex);
    device->pairing_validated = true;
  }
  return rc;
}

// Opens the caller's session. The TLS session under it is made once per attachment and
// kept across stops, so a stop and a new start cost nothing on the wire.
int AMDeviceStartSession(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (!device->connected) return md::kNotConnectedError;
  int rc = md::EnsureLockdownLocked(device);
  if (rc != kSuccess) return rc;
  if (device->session_open) return md::kSessionActiveError;
  rc = md::EnsureSessionLocked(device);
  if (rc == kSuccess) device->session_open = true;
  return rc;
}

int AMDeviceStopSession(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  if (!device->session_open) return md::kSessionInactiveError;
  device->session_open = false;
  return kSuccess;
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key) {
  if (!md::ValidDevice(device)) return nullptr;
  std::string domain_text, key_text;
  if (domain && !md::CfStringToUtf8(domain, &domain_text)) return nullptr;
  if (key && !md::CfStringToUtf8(key, &key_text)) return nullptr;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (md::EnsureLockdownLocked(device) != kSuccess) return nullptr;
  plist_t value = nullptr;
  lockdownd_error_t lerr;
  {
    md::LockdownExchange exchange(device);
    lerr = lockdownd_get_value(device->lockdown, domain ? domain_text.c_str() : nullptr,
                               key ? key_text.c_str() : nullptr, &value);
    if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) exchange.Break();
  }
  if (lerr != LOCKDOWN_E_SUCCESS) {
    plist_free(value);
    return nullptr;
  }
  CFTypeRef result = md::PlistToCf(value);
  plist_free(value);
  return result;
}

int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value) {
  if (!md::ValidDevice(device) || !key || !value) return md::kInvalidArgumentError;
  std::string domain_text, key_text;
  if (domain && !md::CfStringToUtf8(domain, &domain_text)) return md::kInvalidArgumentError;
  if (!md::CfStringToUtf8(key, &key_text)) return md::kInvalidArgumentError;
  plist_t node = md::CfToPlist(value);
  if (!node) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  int rc = md::EnsureLockdownLocked(device);
  if (rc != kSuccess) {
    plist_free(node);
    return rc;
  }
  md::LockdownExchange exchange(device);
  // lockdownd_set_value takes the node over.
  lockdownd_error_t lerr = lockdownd_set_value(
      device->lockdown, domain ? domain_text.c_str() : nullptr, key_text.c_str(), node);
  if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) exchange.Break();
  return exchange.Result(lerr);
}

}  // extern "C"
