#include "sync_store.h"

#include <cstdio>
#include <system_error>

namespace devsim {
namespace {

// Stores shared by the conversations of this process, by file. A store lives as long as a
// conversation uses it; the next one reads the file again.
std::mutex& RegistryMutex() {
  static std::mutex mu;
  return mu;
}
std::map<std::string, std::weak_ptr<SyncStore>>& Registry() {
  static std::map<std::string, std::weak_ptr<SyncStore>> stores;
  return stores;
}

}  // namespace

void ApplySyncOp(plist_t records, const SyncOp& op) {
  switch (op.kind) {
    case SyncOp::Kind::kPut:
      if (op.record) plist_dict_set_item(records, op.id.c_str(), plist_copy(op.record.get()));
      break;
    case SyncOp::Kind::kDelete:
      if (plist_dict_get_item(records, op.id.c_str())) plist_dict_remove_item(records, op.id.c_str());
      break;
    case SyncOp::Kind::kClear:
      for (const std::string& id : DictKeys(records)) plist_dict_remove_item(records, id.c_str());
      break;
  }
}

std::shared_ptr<SyncStore> SyncStore::Open(const fs::path& file) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& stores = Registry();
  std::string key = fs::absolute(file).lexically_normal().string();
  if (auto existing = stores[key].lock()) return existing;
  auto store = std::make_shared<SyncStore>(file);
  store->Load();
  stores[key] = store;
  // Drop entries of stores nobody uses any more, so the map stays small.
  for (auto it = stores.begin(); it != stores.end();) {
    it = it->second.expired() ? stores.erase(it) : std::next(it);
  }
  return store;
}

SyncStore::SyncStore(fs::path file) : file_(std::move(file)), records_(NewDict()) {}

void SyncStore::Load() {
  std::lock_guard<std::mutex> lock(mu_);
  Plist file = ReadPlistFile(file_);
  if (!file) return;
  if (!IsDict(file.get())) {
    std::fprintf(stderr, "vado-devsimd: %s is not a dictionary; starting empty\n", file_.c_str());
    return;
  }
  plist_t records = DictItem(file.get(), "Records");
  if (IsDict(records)) {
    // Only dictionaries are records; anything else in a hand-edited file is left out.
    for (const std::string& id : DictKeys(records)) {
      plist_t r = plist_dict_get_item(records, id.c_str());
      if (IsDict(r)) plist_dict_set_item(records_.get(), id.c_str(), plist_copy(r));
    }
  }
  plist_t pending = DictItem(file.get(), "Pending");
  for (const std::string& id : DictKeys(pending)) {
    pending_[id] = DictString(pending, id.c_str()).value_or("");
  }
  anchors_.device = DictString(file.get(), "DeviceAnchor").value_or("");
  anchors_.computer = DictString(file.get(), "ComputerAnchor").value_or("");
  next_number_ = std::max<uint64_t>(1, DictUint(file.get(), "NextRecordNumber").value_or(1));
}

Plist SyncStore::Records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return Copy(records_.get());
}

std::map<std::string, std::string> SyncStore::Pending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

SyncAnchors SyncStore::Anchors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return anchors_;
}

bool SyncStore::Claim(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (plist_dict_get_item(records_.get(), id.c_str()) || claimed_.count(id)) return false;
  claimed_.insert(id);
  return true;
}

uint64_t SyncStore::NextNumber() {
  std::lock_guard<std::mutex> lock(mu_);
  return next_number_++;
}

Plist SyncStore::ToPlist(plist_t records, const std::map<std::string, std::string>& pending,
                         const SyncAnchors& anchors) const {
  Plist out = NewDict();
  SetNode(out.get(), "Records", Copy(records));
  Plist p = NewDict();
  for (const auto& [id, entity] : pending) SetString(p.get(), id.c_str(), entity);
  SetNode(out.get(), "Pending", std::move(p));
  if (!anchors.device.empty()) SetString(out.get(), "DeviceAnchor", anchors.device);
  if (!anchors.computer.empty()) SetString(out.get(), "ComputerAnchor", anchors.computer);
  SetUint(out.get(), "NextRecordNumber", next_number_);
  return out;
}

bool SyncStore::Commit(const std::vector<SyncOp>& ops, const SyncAnchors* anchors,
                       const std::vector<std::string>& delivered, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  Plist records = Copy(records_.get());
  for (const SyncOp& op : ops) ApplySyncOp(records.get(), op);
  std::map<std::string, std::string> pending = pending_;
  for (const std::string& id : delivered) pending.erase(id);
  SyncAnchors new_anchors = anchors ? *anchors : anchors_;
  Plist file = ToPlist(records.get(), pending, new_anchors);
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  if (!WritePlistFile(file_, file.get())) {
    *error = "cannot write " + file_.string();
    return false;
  }
  records_ = std::move(records);
  pending_ = std::move(pending);
  anchors_ = std::move(new_anchors);
  for (const SyncOp& op : ops) claimed_.erase(op.id);
  return true;
}

bool SyncStore::Write(const fs::path& file, plist_t records, uint64_t next_number,
                      std::string* error) {
  SyncStore store(file);
  store.next_number_ = next_number;
  Plist out = store.ToPlist(records, {}, {});
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (!WritePlistFile(file, out.get())) {
    *error = "cannot write " + file.string();
    return false;
  }
  return true;
}

}  // namespace devsim
