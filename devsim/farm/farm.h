// The device farm folder: host-wide data (the system BUID, the pair records the mux daemon
// keeps for its clients) and one folder per device. The layout is described in README.md.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mux/cert_util.h"
#include "farm/file_util.h"

namespace devsim {

class Farm {
 public:
  explicit Farm(fs::path dir) : dir_(std::move(dir)) {}
  Farm(const Farm&) = delete;
  Farm& operator=(const Farm&) = delete;

  // Reads farm.plist, creating the folder and a fresh system BUID when missing.
  bool Open(std::string* error);

  const fs::path& dir() const { return dir_; }
  fs::path DevicesDir() const { return dir_ / "devices"; }
  fs::path DeviceDir(const std::string& udid) const { return DevicesDir() / udid; }
  fs::path PairRecordsDir() const { return dir_ / "pair_records"; }
  const std::string& system_buid() const { return system_buid_; }

  // The farm's host identity (created on first use) for devices that start out trusted.
  bool HostIdentityFor(HostIdentity* out, std::string* error);

  // Device folders present in the farm, sorted by UDID.
  std::vector<std::string> DeviceUdids() const;

  // Pair records the mux daemon stores for its clients, opaque bytes keyed by UDID.
  std::optional<std::string> ReadPairRecord(const std::string& udid) const;
  bool SavePairRecord(const std::string& udid, const std::string& bytes);
  bool DeletePairRecord(const std::string& udid);

 private:
  fs::path dir_;
  std::string system_buid_;
  mutable std::mutex records_mu_;  // serialises pair-record file writes and farm.plist updates
};

}  // namespace devsim
