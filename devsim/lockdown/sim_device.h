// One simulated device: its lockdown values, its pairing state, lock state, faults and the
// service ports lockdownd has opened. Loaded from (and persisted to) its farm folder.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "services/afc/data_partition.h"
#include "services/backup/backup_settings.h"
#include "mux/cert_util.h"
#include "farm/file_util.h"
#include "plist/plist_ptr.h"

namespace devsim {

// What the device remembers of one paired host.
struct HostPairing {
  std::string host_id;
  std::string system_buid;
  std::string host_certificate;
  std::string root_certificate;
  std::string device_certificate;
};

enum class PairOutcome { kPaired, kPending, kDenied, kLocked, kInvalidRecord };

// Faults injected by the control command for later tests.
struct DeviceFaults {
  int refuse_lockdown = 0;        // refuse this many further lockdown connections
  int64_t drop_service_after = -1;  // close each service connection after this many bytes
  int64_t service_bandwidth = 0;  // bytes per second per service connection, 0 = unlimited
  BackupFaults backup;            // the backup service's faults (backup_settings.h)
  // mobilesync connections close after the device has sent this many messages (-1: never);
  // with sync_cancel_after the device sends SDMessageCancelSession for the open class first.
  int64_t sync_cut_after = -1;
  int64_t sync_cancel_after = -1;
  // AFC: a file write that would take the bytes written over the connection past this
  // many fails with an I/O error, and so does a file read once this many bytes have been
  // read (-1: never).
  int64_t afc_fail_write_after = -1;
  int64_t afc_fail_read_after = -1;
  // afc-unplug-write / afc-unplug-read: once this many bytes of AFC file writes (reads) have
  // gone through since the fault was set, the next write (read) is not served and the
  // device is unplugged; the fault then clears itself (-1: off).
  int64_t afc_unplug_write_after = -1;
  int64_t afc_unplug_read_after = -1;
  int64_t afc_unplug_moved = 0;
  // afc-fail-write-block: the K-th AFC file write after the fault was set fails with an
  // I/O error, once (0: off).
  int64_t afc_fail_write_block = 0;
  int64_t afc_writes_seen = 0;
  // afc-fail-rename: AFC renames fail with an I/O error while this is set.
  bool afc_fail_rename = false;
  // The installation proxy answers Browse with an error.
  bool browse_error = false;
  // uninstall-stall: the installation proxy leaves Uninstall unanswered while this holds.
  bool uninstall_stall = false;
  // Services lockdownd refuses to start, as if the device did not offer them.
  std::set<std::string> refused_services;
  // lockdown-stall: after this many more matching lockdown requests have been answered
  // (-1: off), matching requests get no reply until the fault is cleared or stall_until
  // passes. An empty request name matches every request.
  int64_t lockdown_stall_after = -1;
  std::string lockdown_stall_request;
  // service-stall: each new service connection (of this service, or any when empty) stops
  // sending once it has sent this many bytes (-1: off), until cleared or stall_until.
  int64_t service_stall_after = -1;
  std::string service_stall_name;
  std::chrono::steady_clock::time_point stall_until = std::chrono::steady_clock::time_point::max();
  // read-pause: each new service connection stops reading for read_pause_ms once it has
  // read read_pause_after bytes (-1: off), so the host's writes find a full socket.
  int64_t read_pause_after = -1;
  int64_t read_pause_ms = 0;
  // lockdown-latency: every lockdown reply waits this long before it is written, as the
  // round trip of a device on a real cable would.
  int64_t lockdown_latency_ms = 0;
  // domain-omit: keys that answers for a whole domain leave out (some firmware give
  // certain values only when asked for by name).
  std::set<std::string> domain_omitted_keys;
};

// A port opened by StartService and waiting for its one connection.
struct PendingService {
  std::string name;
  std::string host_id;  // host whose session started it (its certificates serve TLS)
  bool ssl = false;
};

class SimDevice {
 public:
  // Loads a device folder (values.plist, state.plist, device_key.pem, fs/).
  static std::shared_ptr<SimDevice> Load(const fs::path& dir, std::string* error);
  // A device without a folder: nothing persists. Used by unit tests and fuzzers.
  static std::shared_ptr<SimDevice> InMemory(Plist values, Plist state, PkeyPtr key);

  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const std::string& udid() const { return udid_; }
  const fs::path& dir() const { return dir_; }
  fs::path FsRoot() const { return dir_ / "fs"; }
  fs::path MediaRoot() const { return dir_ / "fs/private/var/mobile/Media"; }
  // Installed applications (app_store.h), battery registry entry and AirTraffic figures.
  fs::path AppsDir() const { return dir_ / "apps"; }
  fs::path BatteryFile() const { return dir_ / "battery.plist"; }
  fs::path AirTrafficFile() const { return dir_ / "atc.plist"; }
  // Contacts, calendars, bookmarks and notes (sync_store.h) and mobilesync's settings.
  fs::path SyncDir() const { return dir_ / "sync"; }
  EVP_PKEY* key() const { return key_.get(); }
  bool wifi() const { return wifi_; }
  bool jailbroken() const { return jailbroken_; }
  uint64_t product_id() const { return product_id_; }
  uint64_t location_id() const { return location_id_; }
  const std::string& network_address() const { return network_address_; }
  const std::string& escrow_bag() const { return escrow_bag_; }

  // Lockdown values. Returns the value, or null with the lockdown error string set.
  Plist GetValue(const std::optional<std::string>& domain, const std::optional<std::string>& key,
                 bool in_session, std::string* error);
  // Empty string on success, else the lockdown error string. Persists on success.
  std::string SetValue(const std::optional<std::string>& domain, const std::string& key,
                       plist_t value);
  std::optional<std::string> RootString(const char* key) const;

  bool locked() const;
  void SetLocked(bool locked);

  PairOutcome Pair(const HostPairing& host);
  std::optional<HostPairing> FindHost(const std::string& host_id) const;
  bool Unpair(const std::string& host_id);
  // Answers the trust prompt; true when one was pending, otherwise the answer is kept for
  // the next prompt.
  bool AnswerTrust(bool trust);
  bool TrustPromptPending() const;

  // The data partition's free space, which AFC writes use up and the disk-usage values
  // report; unlimited for devices without a folder.
  DataPartition& partition() { return partition_; }
  // Pulls the cable (set by the device table), used by the faults that unplug the device
  // in the middle of a transfer. Does nothing without a handler.
  void SetUnplugHandler(std::function<void()> handler);
  void RequestUnplug();

  DeviceFaults faults() const;
  // Sets a fault by name; false for an unknown name or a bad argument.
  bool SetFault(const std::string& name, int64_t arg, const std::string& text = {});
  // What the one-shot AFC transfer faults do to the file write (`write`, carrying `bytes`)
  // or read about to be served; AfterAfcRead counts the bytes a read answered.
  enum class AfcFault { kNone, kFail, kUnplug };
  AfcFault BeforeAfcTransfer(bool write, uint64_t bytes);
  void AfterAfcRead(uint64_t bytes);
  // True when this lockdown connection is to be refused (and counts it).
  bool ConsumeLockdownRefusal();
  // Counts a lockdown request against the lockdown-stall fault; true when it is to stay
  // unanswered.
  bool ConsumeLockdownStall(const std::string& request);
  // True while a stall fault (lockdown or service) holds: set and not past its time limit.
  bool LockdownStallHolds() const;
  // How long each lockdown reply waits (the lockdown-latency fault); 0 for none.
  std::chrono::milliseconds LockdownLatency() const;
  bool ServiceStallHolds() const;

  // TLS handshakes completed with hosts (lockdown sessions and services), for measurements.
  void CountHandshake() { handshakes_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t handshakes() const { return handshakes_.load(std::memory_order_relaxed); }

  uint16_t OpenServicePort(PendingService service);
  std::optional<PendingService> TakeServicePort(uint16_t port);

 private:
  SimDevice() = default;
  bool LoadFrom(Plist values, Plist state, std::string* error);
  bool SetStallFaultLocked(const std::string& name, int64_t arg, const std::string& text);
  Plist StateToPlist() const;   // caller holds mu_
  void PersistStateLocked();    // caller holds mu_
  void FillDynamicValues(plist_t root, bool in_session) const;  // caller holds mu_

  fs::path dir_;  // empty for in-memory devices
  std::string udid_;
  PkeyPtr key_;
  std::string public_key_pem_;
  bool wifi_ = false;
  bool jailbroken_ = false;
  uint64_t product_id_ = 0x12A8;
  uint64_t location_id_ = 0;
  std::string network_address_;
  std::string escrow_bag_;

  enum class Dialog { kNone, kPending, kDenied };
  enum class Preanswer { kNone, kTrust, kDeny };

  mutable std::mutex mu_;  // guards everything below
  Plist root_;             // root-domain values
  Plist domains_;          // domain name -> dictionary of values
  bool locked_ = false;
  std::map<std::string, HostPairing> hosts_;  // by HostID
  std::set<std::string> trusted_buids_;       // hosts the user has trusted
  Dialog dialog_ = Dialog::kNone;
  std::string pending_buid_;
  Preanswer preanswer_ = Preanswer::kNone;
  DeviceFaults faults_;
  std::map<uint16_t, PendingService> ports_;
  uint16_t next_port_ = 49152;
  std::atomic<uint64_t> handshakes_{0};
  DataPartition partition_;
  std::function<void()> unplug_;  // guarded by mu_
};

}  // namespace devsim
