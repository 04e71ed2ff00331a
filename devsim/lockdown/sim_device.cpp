#include "lockdown/sim_device.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace devsim {
namespace {

// A decimal count of at most 18 digits; false for anything else.
bool ParseCount(const std::string& s, int64_t* out) {
  if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *out = std::strtoll(s.c_str(), nullptr, 10);
  return true;
}

// Values a device gives to a host that has no session yet: identity and model, nothing personal.
const std::set<std::string>& PreSessionKeys() {
  static const std::set<std::string> keys = {
      "ActivationState", "BasebandVersion", "BoardId",        "BuildVersion",
      "CPUArchitecture", "ChipID",          "DeviceClass",    "DeviceColor",
      "DeviceName",      "DevicePublicKey", "DieID",          "FirmwareVersion",
      "HardwareModel",   "HardwarePlatform", "HostAttached",  "ProductName",
      "ProductType",     "ProductVersion",  "ProtocolVersion", "TelephonyCapability",
      "UniqueChipID",    "UniqueDeviceID",  "WiFiAddress",    "PasswordProtected",
  };
  return keys;
}

// Root keys a host may change; every other root key is fixed by the hardware or the system.
const std::set<std::string>& SettableRootKeys() {
  static const std::set<std::string> keys = {"DeviceName", "TimeZone", "Uses24HourClock"};
  return keys;
}

const std::set<std::string>& SettableDomains() {
  static const std::set<std::string> domains = {
      "com.apple.international",       "com.apple.mobile.wireless_lockdown",
      "com.apple.mobile.data_sync",    "com.apple.mobile.tethered_sync",
      "com.apple.mobile.backup",       "com.apple.mobile.iTunes",
  };
  return domains;
}

constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxOpenPorts = 256;

HostPairing HostFromPlist(const std::string& host_id, plist_t node) {
  HostPairing h;
  h.host_id = host_id;
  h.system_buid = DictString(node, "SystemBUID").value_or("");
  h.host_certificate = DictData(node, "HostCertificate").value_or("");
  h.root_certificate = DictData(node, "RootCertificate").value_or("");
  h.device_certificate = DictData(node, "DeviceCertificate").value_or("");
  return h;
}

}  // namespace

std::shared_ptr<SimDevice> SimDevice::Load(const fs::path& dir, std::string* error) {
  std::shared_ptr<SimDevice> dev(new SimDevice());
  dev->dir_ = dir;
  Plist values = ReadPlistFile(dir / "values.plist");
  Plist state = ReadPlistFile(dir / "state.plist");
  auto pem = ReadWholeFile(dir / "device_key.pem");
  if (!pem) {
    *error = "missing " + (dir / "device_key.pem").string();
    return nullptr;
  }
  dev->key_ = LoadPrivateKeyPem(*pem);
  if (!dev->key_) {
    *error = "unreadable device key in " + dir.string();
    return nullptr;
  }
  if (!dev->LoadFrom(std::move(values), std::move(state), error)) return nullptr;
  uint64_t recorded_free =
      DictUint(DictItem(dev->domains_.get(), "com.apple.disk_usage"), "TotalDataAvailable")
          .value_or(0);
  dev->partition_.Load(recorded_free, dev->FsRoot() / "private/var", dir / "partition.plist");
  return dev;
}

void SimDevice::SetUnplugHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  unplug_ = std::move(handler);
}

void SimDevice::RequestUnplug() {
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    handler = unplug_;
  }
  if (handler) handler();
}

std::shared_ptr<SimDevice> SimDevice::InMemory(Plist values, Plist state, PkeyPtr key) {
  std::shared_ptr<SimDevice> dev(new SimDevice());
  dev->key_ = std::move(key);
  std::string error;
  if (!dev->key_ || !dev->LoadFrom(std::move(values), std::move(state), &error)) return nullptr;
  return dev;
}

bool SimDevice::LoadFrom(Plist values, Plist state, std::string* error) {
  if (!IsDict(values.get())) {
    *error = "values.plist missing or not a dictionary";
    return false;
  }
  if (!IsDict(state.get())) state = NewDict();
  root_ = Copy(DictItem(values.get(), "Root"));
  domains_ = Copy(DictItem(values.get(), "Domains"));
  if (!IsDict(root_.get())) {
    *error = "values.plist has no Root dictionary";
    return false;
  }
  if (!IsDict(domains_.get())) domains_ = NewDict();
  auto udid = DictString(root_.get(), "UniqueDeviceID");
  if (!udid || !IsSafeIdentifier(*udid)) {
    *error = "UniqueDeviceID missing or not a safe identifier";
    return false;
  }
  udid_ = *udid;
  public_key_pem_ = RsaPublicKeyPem(key_.get());

  wifi_ = DictString(state.get(), "ConnectionType").value_or("USB") == "Network";
  jailbroken_ = DictBool(state.get(), "Jailbroken").value_or(false);
  locked_ = DictBool(state.get(), "Locked").value_or(false);
  product_id_ = DictUint(state.get(), "ProductID").value_or(0x12A8);
  location_id_ = DictUint(state.get(), "LocationID").value_or(0);
  network_address_ = DictData(state.get(), "NetworkAddress").value_or("");
  escrow_bag_ = DictData(state.get(), "EscrowBag").value_or("");
  if (escrow_bag_.empty()) escrow_bag_ = RandomBytes(64);
  plist_t hosts = DictItem(state.get(), "PairedHosts");
  for (const std::string& id : DictKeys(hosts)) {
    plist_t h = DictItem(hosts, id.c_str());
    if (IsDict(h)) hosts_[id] = HostFromPlist(id, h);
  }
  plist_t trusted = DictItem(state.get(), "TrustedHosts");
  if (trusted && plist_get_node_type(trusted) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(trusted); ++i) {
      if (auto s = StringValue(plist_array_get_item(trusted, i))) trusted_buids_.insert(*s);
    }
  }
  return true;
}

Plist SimDevice::StateToPlist() const {
  Plist state = NewDict();
  SetString(state.get(), "ConnectionType", wifi_ ? "Network" : "USB");
  SetBool(state.get(), "Jailbroken", jailbroken_);
  SetBool(state.get(), "Locked", locked_);
  SetUint(state.get(), "ProductID", product_id_);
  SetUint(state.get(), "LocationID", location_id_);
  if (!network_address_.empty()) SetData(state.get(), "NetworkAddress", network_address_);
  SetData(state.get(), "EscrowBag", escrow_bag_);
  Plist hosts = NewDict();
  for (const auto& [id, h] : hosts_) {
    Plist node = NewDict();
    SetString(node.get(), "SystemBUID", h.system_buid);
    SetData(node.get(), "HostCertificate", h.host_certificate);
    SetData(node.get(), "RootCertificate", h.root_certificate);
    SetData(node.get(), "DeviceCertificate", h.device_certificate);
    SetNode(hosts.get(), id.c_str(), std::move(node));
  }
  SetNode(state.get(), "PairedHosts", std::move(hosts));
  Plist trusted = NewArray();
  for (const auto& b : trusted_buids_) plist_array_append_item(trusted.get(), plist_new_string(b.c_str()));
  SetNode(state.get(), "TrustedHosts", std::move(trusted));
  return state;
}

void SimDevice::PersistStateLocked() {
  if (dir_.empty()) return;
  Plist state = StateToPlist();
  WritePlistFile(dir_ / "state.plist", state.get());
}

void SimDevice::FillDynamicValues(plist_t root, bool in_session) const {
  using namespace std::chrono;
  double now = duration<double>(system_clock::now().time_since_epoch()).count();
  SetReal(root, "TimeIntervalSince1970", now);
  SetBool(root, "PasswordProtected", locked_);
  SetBool(root, "HostAttached", true);
  SetBool(root, "TrustedHostAttached", in_session);
  SetData(root, "DevicePublicKey", public_key_pem_);
}

Plist SimDevice::GetValue(const std::optional<std::string>& domain,
                          const std::optional<std::string>& key, bool in_session,
                          std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!domain || domain->empty()) {
    if (key) {
      if (!in_session && !PreSessionKeys().count(*key)) {
        *error = "MissingValue";
        return nullptr;
      }
      // One value is asked for: only it is copied. The values that change are made
      // afresh; the others come from the stored root.
      Plist dynamic = NewDict();
      FillDynamicValues(dynamic.get(), in_session);
      plist_t v = DictItem(dynamic.get(), key->c_str());
      if (!v) v = DictItem(root_.get(), key->c_str());
      if (!v) {
        *error = "MissingValue";
        return nullptr;
      }
      return Copy(v);
    }
    Plist root = Copy(root_.get());
    FillDynamicValues(root.get(), in_session);
    for (const std::string& omitted : faults_.domain_omitted_keys) {
      plist_dict_remove_item(root.get(), omitted.c_str());
    }
    if (in_session) return root;
    Plist reduced = NewDict();
    for (const auto& k : PreSessionKeys()) {
      if (plist_t v = DictItem(root.get(), k.c_str())) plist_dict_set_item(reduced.get(), k.c_str(), plist_copy(v));
    }
    return reduced;
  }
  plist_t dom = DictItem(domains_.get(), domain->c_str());
  if (!in_session || !IsDict(dom)) {
    *error = "MissingValue";
    return nullptr;
  }
  Plist live;
  if (*domain == "com.apple.disk_usage" && partition_.limited()) {
    // The free figures follow what is stored.
    live = Copy(dom);
    SetUint(live.get(), "TotalDataAvailable", partition_.FreeBytes());
    SetUint(live.get(), "AmountDataAvailable", partition_.FreeBytes());
    dom = live.get();
  }
  if (!key) {
    Plist whole = Copy(dom);
    for (const std::string& omitted : faults_.domain_omitted_keys) {
      plist_dict_remove_item(whole.get(), omitted.c_str());
    }
    return whole;
  }
  plist_t v = DictItem(dom, key->c_str());
  if (!v) {
    *error = "MissingValue";
    return nullptr;
  }
  return Copy(v);
}

std::string SimDevice::SetValue(const std::optional<std::string>& domain, const std::string& key,
                                plist_t value) {
  if (!value) return "MissingValue";
  std::lock_guard<std::mutex> lock(mu_);
  plist_t target = nullptr;
  if (!domain || domain->empty()) {
    if (!SettableRootKeys().count(key)) {
      return DictItem(root_.get(), key.c_str()) ? "ImmutableValue" : "SetProhibited";
    }
    target = root_.get();
  } else {
    if (!SettableDomains().count(*domain)) return "SetProhibited";
    target = DictItem(domains_.get(), domain->c_str());
    if (!IsDict(target)) {
      plist_dict_set_item(domains_.get(), domain->c_str(), plist_new_dict());
      target = DictItem(domains_.get(), domain->c_str());
    }
  }
  // A value keeps the type it has; a device name is a non-empty string of bounded length.
  plist_t old = DictItem(target, key.c_str());
  if (old && plist_get_node_type(old) != plist_get_node_type(value)) return "SetProhibited";
  if (key == "DeviceName") {
    auto name = StringValue(value);
    if (!name || name->empty() || name->size() > kMaxNameBytes) return "SetProhibited";
  }
  plist_dict_set_item(target, key.c_str(), plist_copy(value));
  if (!dir_.empty()) {
    Plist file = NewDict();
    SetNode(file.get(), "Root", Copy(root_.get()));
    SetNode(file.get(), "Domains", Copy(domains_.get()));
    if (!WritePlistFile(dir_ / "values.plist", file.get())) return "SetProhibited";
  }
  return {};
}

std::optional<std::string> SimDevice::RootString(const char* key) const {
  std::lock_guard<std::mutex> lock(mu_);
  return DictString(root_.get(), key);
}

bool SimDevice::locked() const {
  std::lock_guard<std::mutex> lock(mu_);
  return locked_;
}

void SimDevice::SetLocked(bool locked) {
  std::lock_guard<std::mutex> lock(mu_);
  locked_ = locked;
}

PairOutcome SimDevice::Pair(const HostPairing& host) {
  std::lock_guard<std::mutex> lock(mu_);
  if (locked_) return PairOutcome::kLocked;
  if (host.host_id.empty() || host.device_certificate.empty() || host.root_certificate.empty() ||
      host.host_certificate.empty()) {
    return PairOutcome::kInvalidRecord;
  }
  bool trusted = trusted_buids_.count(host.system_buid) > 0;
  if (!trusted) {
    if (preanswer_ == Preanswer::kTrust) {
      trusted = true;
      trusted_buids_.insert(host.system_buid);
      preanswer_ = Preanswer::kNone;
    } else if (preanswer_ == Preanswer::kDeny) {
      preanswer_ = Preanswer::kNone;
      return PairOutcome::kDenied;
    } else if (dialog_ == Dialog::kDenied) {
      dialog_ = Dialog::kNone;  // the next attempt shows the prompt again
      return PairOutcome::kDenied;
    } else {
      dialog_ = Dialog::kPending;
      pending_buid_ = host.system_buid;
      return PairOutcome::kPending;
    }
  }
  // One record per host: a new pairing from the same host replaces the old one.
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    it = (it->second.system_buid == host.system_buid) ? hosts_.erase(it) : std::next(it);
  }
  hosts_[host.host_id] = host;
  PersistStateLocked();
  return PairOutcome::kPaired;
}

std::optional<HostPairing> SimDevice::FindHost(const std::string& host_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = hosts_.find(host_id);
  if (it == hosts_.end()) return std::nullopt;
  return it->second;
}

bool SimDevice::Unpair(const std::string& host_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = hosts_.find(host_id);
  if (it == hosts_.end()) return false;
  trusted_buids_.erase(it->second.system_buid);
  hosts_.erase(it);
  PersistStateLocked();
  return true;
}

bool SimDevice::AnswerTrust(bool trust) {
  std::lock_guard<std::mutex> lock(mu_);
  if (dialog_ != Dialog::kPending) {
    preanswer_ = trust ? Preanswer::kTrust : Preanswer::kDeny;
    return false;
  }
  if (trust) {
    trusted_buids_.insert(pending_buid_);
    dialog_ = Dialog::kNone;
    PersistStateLocked();
  } else {
    dialog_ = Dialog::kDenied;
  }
  pending_buid_.clear();
  return true;
}

bool SimDevice::TrustPromptPending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dialog_ == Dialog::kPending;
}

DeviceFaults SimDevice::faults() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}

bool SimDevice::SetFault(const std::string& name, int64_t arg, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (name.rfind("backup-", 0) == 0) return SetBackupFault(&faults_.backup, name, arg, text);
  if (name == "refuse-lockdown") {
    if (arg < 0 || arg > 1000000) return false;
    faults_.refuse_lockdown = static_cast<int>(arg);
  } else if (name == "drop-service") {
    faults_.drop_service_after = arg < 0 ? -1 : arg;
  } else if (name == "cap-bandwidth") {
    if (arg < 0) return false;
    faults_.service_bandwidth = arg;
  } else if (name == "sync-cut") {
    faults_.sync_cut_after = arg < 0 ? -1 : arg;
  } else if (name == "sync-cancel") {
    faults_.sync_cancel_after = arg < 0 ? -1 : arg;
  } else if (name == "afc-fail-write") {
    faults_.afc_fail_write_after = arg < 0 ? -1 : arg;
  } else if (name == "afc-fail-read") {
    faults_.afc_fail_read_after = arg < 0 ? -1 : arg;
  } else if (name == "afc-unplug-write" || name == "afc-unplug-read") {
    (name == "afc-unplug-write" ? faults_.afc_unplug_write_after
                                : faults_.afc_unplug_read_after) = arg < 0 ? -1 : arg;
    faults_.afc_unplug_moved = 0;
  } else if (name == "afc-fail-write-block") {
    faults_.afc_fail_write_block = arg < 0 ? 0 : arg;
    faults_.afc_writes_seen = 0;
  } else if (name == "refuse-service") {
    if (text.empty()) return false;
    if (arg != 0) faults_.refused_services.insert(text);
    else faults_.refused_services.erase(text);
  } else if (name == "browse-error") {
    faults_.browse_error = arg != 0;
  } else if (name == "afc-fail-rename") {
    faults_.afc_fail_rename = arg != 0;
  } else if (name == "uninstall-stall") {
    faults_.uninstall_stall = arg != 0;
  } else if (name == "lockdown-stall" || name == "service-stall") {
    return SetStallFaultLocked(name, arg, text);
  } else if (name == "read-pause") {
    if (arg < 0 || arg > 600000) return false;
    int64_t after = 0;
    if (!text.empty() && !ParseCount(text, &after)) return false;
    faults_.read_pause_ms = arg;
    faults_.read_pause_after = arg == 0 ? -1 : after;
  } else if (name == "lockdown-latency") {
    if (arg < 0 || arg > 10000) return false;
    faults_.lockdown_latency_ms = arg;
  } else if (name == "domain-omit") {
    if (text.empty()) return false;
    if (arg != 0) faults_.domain_omitted_keys.insert(text);
    else faults_.domain_omitted_keys.erase(text);
  } else if (name == "clear") {
    faults_ = DeviceFaults{};
  } else {
    return false;
  }
  return true;
}

// ARG is the count of requests (or bytes) let through first; negative turns the stall off.
// TEXT holds an optional name (request or service) and an optional time limit in seconds.
bool SimDevice::SetStallFaultLocked(const std::string& name, int64_t arg, const std::string& text) {
  std::string target;
  auto until = std::chrono::steady_clock::time_point::max();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    int64_t seconds = 0;
    if (ParseCount(word, &seconds)) {
      if (seconds > 24 * 3600) return false;
      until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    } else if (target.empty() && word.size() <= 128) {
      target = word;
    } else {
      return false;
    }
  }
  const int64_t after = arg < 0 ? -1 : arg;
  if (name == "lockdown-stall") {
    faults_.lockdown_stall_after = after;
    faults_.lockdown_stall_request = target;
  } else {
    faults_.service_stall_after = after;
    faults_.service_stall_name = target;
  }
  faults_.stall_until = until;
  return true;
}

SimDevice::AfcFault SimDevice::BeforeAfcTransfer(bool write, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  DeviceFaults& f = faults_;
  if (write && f.afc_fail_write_block > 0 && ++f.afc_writes_seen == f.afc_fail_write_block) {
    f.afc_fail_write_block = 0;
    return AfcFault::kFail;
  }
  int64_t& limit = write ? f.afc_unplug_write_after : f.afc_unplug_read_after;
  if (limit < 0) return AfcFault::kNone;
  // A write is let through only whole; a read once the limit is reached is not served.
  const int64_t after = f.afc_unplug_moved + (write ? static_cast<int64_t>(bytes) : 0);
  if ((write && after > limit) || (!write && f.afc_unplug_moved >= limit)) {
    limit = -1;
    return AfcFault::kUnplug;
  }
  f.afc_unplug_moved = after;
  return AfcFault::kNone;
}

void SimDevice::AfterAfcRead(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (faults_.afc_unplug_read_after >= 0) faults_.afc_unplug_moved += static_cast<int64_t>(bytes);
}

bool SimDevice::ConsumeLockdownStall(const std::string& request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (faults_.lockdown_stall_after < 0) return false;
  if (!faults_.lockdown_stall_request.empty() && faults_.lockdown_stall_request != request) {
    return false;
  }
  if (std::chrono::steady_clock::now() >= faults_.stall_until) return false;
  if (faults_.lockdown_stall_after > 0) {
    --faults_.lockdown_stall_after;
    return false;
  }
  return true;
}

std::chrono::milliseconds SimDevice::LockdownLatency() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::chrono::milliseconds(faults_.lockdown_latency_ms);
}

bool SimDevice::LockdownStallHolds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_.lockdown_stall_after >= 0 &&
         std::chrono::steady_clock::now() < faults_.stall_until;
}

bool SimDevice::ServiceStallHolds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_.service_stall_after >= 0 &&
         std::chrono::steady_clock::now() < faults_.stall_until;
}

bool SimDevice::ConsumeLockdownRefusal() {
  std::lock_guard<std::mutex> lock(mu_);
  if (faults_.refuse_lockdown <= 0) return false;
  --faults_.refuse_lockdown;
  return true;
}

uint16_t SimDevice::OpenServicePort(PendingService service) {
  std::lock_guard<std::mutex> lock(mu_);
  // Ports nobody connected to are dropped (lowest first) so the table stays bounded.
  while (ports_.size() >= kMaxOpenPorts) ports_.erase(ports_.begin());
  uint16_t port = 0;
  do {
    port = next_port_;
    next_port_ = next_port_ == 65535 ? 49152 : static_cast<uint16_t>(next_port_ + 1);
  } while (ports_.count(port) || port == 62078);
  ports_[port] = std::move(service);
  return port;
}

std::optional<PendingService> SimDevice::TakeServicePort(uint16_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = ports_.find(port);
  if (it == ports_.end()) return std::nullopt;
  PendingService s = std::move(it->second);
  ports_.erase(it);
  return s;
}

}  // namespace devsim
