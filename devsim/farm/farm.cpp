#include "farm/farm.h"

#include <algorithm>
#include <system_error>

namespace devsim {

bool Farm::Open(std::string* error) {
  std::error_code ec;
  fs::create_directories(DevicesDir(), ec);
  fs::create_directories(PairRecordsDir(), ec);
  if (ec) {
    *error = "cannot create farm folder " + dir_.string() + ": " + ec.message();
    return false;
  }
  std::lock_guard<std::mutex> lock(records_mu_);
  fs::path file = dir_ / "farm.plist";
  Plist farm = ReadPlistFile(file);
  if (!IsDict(farm.get())) farm = NewDict();
  auto buid = DictString(farm.get(), "SystemBUID");
  if (!buid || buid->empty()) {
    system_buid_ = RandomUuid();
    SetString(farm.get(), "SystemBUID", system_buid_);
    if (!WritePlistFile(file, farm.get())) {
      *error = "cannot write " + file.string();
      return false;
    }
  } else {
    system_buid_ = *buid;
  }
  return true;
}

bool Farm::HostIdentityFor(HostIdentity* out, std::string* error) {
  std::lock_guard<std::mutex> lock(records_mu_);
  fs::path file = dir_ / "farm.plist";
  Plist farm = ReadPlistFile(file);
  if (!IsDict(farm.get())) farm = NewDict();
  plist_t id = DictItem(farm.get(), "HostIdentity");
  if (IsDict(id)) {
    out->root_certificate = DictData(id, "RootCertificate").value_or("");
    out->root_private_key = DictData(id, "RootPrivateKey").value_or("");
    out->host_certificate = DictData(id, "HostCertificate").value_or("");
    out->host_private_key = DictData(id, "HostPrivateKey").value_or("");
    if (!out->root_certificate.empty() && !out->root_private_key.empty() &&
        !out->host_certificate.empty() && !out->host_private_key.empty()) {
      return true;
    }
  }
  *out = MakeHostIdentity();
  Plist node = NewDict();
  SetData(node.get(), "RootCertificate", out->root_certificate);
  SetData(node.get(), "RootPrivateKey", out->root_private_key);
  SetData(node.get(), "HostCertificate", out->host_certificate);
  SetData(node.get(), "HostPrivateKey", out->host_private_key);
  SetNode(farm.get(), "HostIdentity", std::move(node));
  if (!WritePlistFile(file, farm.get())) {
    *error = "cannot write " + file.string();
    return false;
  }
  return true;
}

std::vector<std::string> Farm::DeviceUdids() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(DevicesDir(), ec)) {
    std::string name = entry.path().filename().string();
    if (entry.is_directory() && IsSafeIdentifier(name)) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> Farm::ReadPairRecord(const std::string& udid) const {
  if (!IsSafeIdentifier(udid)) return std::nullopt;
  std::lock_guard<std::mutex> lock(records_mu_);
  return ReadWholeFile(PairRecordsDir() / (udid + ".plist"));
}

bool Farm::SavePairRecord(const std::string& udid, const std::string& bytes) {
  if (!IsSafeIdentifier(udid)) return false;
  std::lock_guard<std::mutex> lock(records_mu_);
  return WriteFileAtomic(PairRecordsDir() / (udid + ".plist"), bytes);
}

bool Farm::DeletePairRecord(const std::string& udid) {
  if (!IsSafeIdentifier(udid)) return false;
  std::lock_guard<std::mutex> lock(records_mu_);
  std::error_code ec;
  return fs::remove(PairRecordsDir() / (udid + ".plist"), ec);
}

}  // namespace devsim
