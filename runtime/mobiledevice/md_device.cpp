#include "md_device.h"

#include <errno.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "md_errors.h"
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

  // Serialises the lockdown conversation (one request at a time on the socket) and guards
  // the fields below.
  std::mutex io_mutex;
  std::shared_ptr<md::DeviceLink> link;
  lockdownd_client_t lockdown = nullptr;
  char* session_id = nullptr;  // libimobiledevice's allocation; null outside a session
  bool link_primed = false;    // the link knows the firmware version (picks the TLS range)
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

// Drops the lockdown connection; io_mutex held.
void CloseLockdownLocked(AMDeviceRef d) {
  if (d->lockdown) {
    if (d->session_id) lockdownd_stop_session(d->lockdown, d->session_id);
    lockdownd_client_free(d->lockdown);
    d->lockdown = nullptr;
  }
  free(d->session_id);
  d->session_id = nullptr;
  d->link.reset();
  d->link_primed = false;
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
    CloseLockdownLocked(d);
    return kDeviceDisconnectedError;
  }
  // A connection from an earlier attachment leads nowhere.
  if (d->link && d->link->attachment() != attachment) CloseLockdownLocked(d);
  if (d->lockdown) return kSuccess;
  std::shared_ptr<DeviceLink> link;
  int rc = OpenLink(d, &link);
  if (rc != kSuccess) return rc;
  lockdownd_client_t client = nullptr;
  lockdownd_error_t lerr = lockdownd_client_new(link->get(), &client, LockdownLabel());
  if (lerr != LOCKDOWN_E_SUCCESS) return FromLockdown(lerr);
  d->link = std::move(link);
  d->lockdown = client;
  return kSuccess;
}

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

// libimobiledevice picks the TLS versions it offers from the firmware version, which only
// its own handshake reads; a throw-away handshake on the same handle records it. Only done
// with a pair record present, because without one the handshake would start pairing.
void PrimeLinkLocked(AMDeviceRef d) {
  if (d->link_primed || !d->link) return;
  lockdownd_client_t probe = nullptr;
  if (lockdownd_client_new_with_handshake(d->link->get(), &probe, LockdownLabel()) ==
      LOCKDOWN_E_SUCCESS) {
    lockdownd_client_free(probe);
  }
  d->link_primed = true;
}

bool ValidDevice(AMDeviceRef device) { return IsDevice(device); }

}  // namespace

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
  if (!d->session_id) return kSessionInactiveError;
  lockdownd_error_t lerr = with_escrow_bag
                               ? lockdownd_start_service_with_escrow_bag(d->lockdown, name, service)
                               : lockdownd_start_service(d->lockdown, name, service);
  if (lerr == LOCKDOWN_E_INVALID_CONF && with_escrow_bag) return kEscrowLockedError;
  if (lerr != LOCKDOWN_E_SUCCESS) {
    // A broken socket leaves the client unusable; the next call reconnects.
    if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR ||
        lerr == LOCKDOWN_E_RECEIVE_TIMEOUT) {
      CloseLockdownLocked(d);
    }
    return FromLockdown(lerr);
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

int AMDeviceConnect(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  const int rc = md::EnsureLockdownLocked(device);
  device->connected = rc == kSuccess;
  return rc;
}

int AMDeviceDisconnect(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  md::CloseLockdownLocked(device);
  device->connected = false;
  return kSuccess;
}

int AMDeviceIsPaired(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return 0;
  plist_t record = md::ReadPairRecord(device->udid);
  const bool paired = record && !md::StringItem(record, "HostID").empty();
  plist_free(record);
  return paired ? 1 : 0;
}

int AMDeviceValidatePairing(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (!device->connected) return md::kNotConnectedError;
  int rc = md::EnsureLockdownLocked(device);
  if (rc != kSuccess) return rc;
  plist_t record = md::ReadPairRecord(device->udid);
  if (!record) return md::kMissingPairRecordError;
  plist_free(record);
  return md::FromLockdown(lockdownd_validate_pair(device->lockdown, nullptr));
}

int AMDeviceStartSession(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (!device->connected) return md::kNotConnectedError;
  int rc = md::EnsureLockdownLocked(device);
  if (rc != kSuccess) return rc;
  if (device->session_id) return md::kSessionActiveError;
  plist_t record = md::ReadPairRecord(device->udid);
  const std::string host_id = md::StringItem(record, "HostID");
  plist_free(record);
  if (host_id.empty()) return md::kMissingPairRecordError;
  md::PrimeLinkLocked(device);
  char* session_id = nullptr;
  lockdownd_error_t lerr =
      lockdownd_start_session(device->lockdown, host_id.c_str(), &session_id, nullptr);
  if (lerr != LOCKDOWN_E_SUCCESS) {
    free(session_id);
    if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) {
      md::CloseLockdownLocked(device);
    }
    return md::FromLockdown(lerr);
  }
  if (!session_id) session_id = strdup("");
  device->session_id = session_id;
  return kSuccess;
}

int AMDeviceStopSession(AMDeviceRef device) {
  if (!md::ValidDevice(device)) return md::kInvalidArgumentError;
  std::lock_guard<std::mutex> lock(device->io_mutex);
  md::SigpipeGuard guard;
  if (!device->lockdown || !device->session_id) return md::kSessionInactiveError;
  lockdownd_error_t lerr = lockdownd_stop_session(device->lockdown, device->session_id);
  // After the session's TLS is shut down the stream is not reliably usable for a new
  // session, so the connection is closed here; the next call that needs lockdown (a new
  // StartSession included) opens a fresh one while the device counts as connected.
  md::CloseLockdownLocked(device);
  return md::FromLockdown(lerr);
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
  lockdownd_error_t lerr = lockdownd_get_value(device->lockdown,
                                               domain ? domain_text.c_str() : nullptr,
                                               key ? key_text.c_str() : nullptr, &value);
  if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) {
    md::CloseLockdownLocked(device);
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
  // lockdownd_set_value takes the node over.
  lockdownd_error_t lerr = lockdownd_set_value(
      device->lockdown, domain ? domain_text.c_str() : nullptr, key_text.c_str(), node);
  if (lerr == LOCKDOWN_E_MUX_ERROR || lerr == LOCKDOWN_E_SSL_ERROR) {
    md::CloseLockdownLocked(device);
  }
  return md::FromLockdown(lerr);
}

}  // extern "C"
