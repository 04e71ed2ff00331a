#include "services/sync/sync_store.h"

#include <sys/stat.h>

#include <cstdio>
#include <system_error>

namespace devsim {
namespace {

// Stores shared by the conversations of this process, by records file.
std::mutex& RegistryMutex() {
  static std::mutex mu;
  return mu;
}
std::map<std::string, std::shared_ptr<SyncStore>>& Registry() {
  static std::map<std::string, std::shared_ptr<SyncStore>> stores;
  return stores;
}

bool WriteCreatingFolder(const fs::path& path, plist_t node, std::string* error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (WritePlistFile(path, node)) return true;
  *error = "cannot write " + path.string();
  return false;
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

plist_t SnapshotRecords(const SyncSnapshot& snapshot) {
  return snapshot ? DictItem(snapshot->get(), "Records") : nullptr;
}

// A records file dictionary holding an empty Records dictionary.
Plist EmptyRecordsFile() {
  Plist file = NewDict();
  SetNode(file.get(), "Records", NewDict());
  return file;
}

fs::path SyncStore::StateFile(const fs::path& file) {
  fs::path state = file;
  state.replace_extension(".state.plist");
  return state;
}

SyncStore::Stamp SyncStore::StampOf(const fs::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, int64_t(st.st_size)};
}

std::shared_ptr<SyncStore> SyncStore::Open(const fs::path& file) {
  std::shared_ptr<SyncStore> store;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    std::error_code ec;
    fs::path absolute = fs::absolute(file, ec);
    std::string key = (ec ? file : absolute).lexically_normal().string();
    auto& slot = Registry()[key];
    if (!slot) slot = std::make_shared<SyncStore>(file);
    store = slot;
  }
  store->Refresh();
  return store;
}

SyncStore::SyncStore(fs::path file)
    : file_(std::move(file)), records_(std::make_shared<Plist>(EmptyRecordsFile())) {}

void SyncStore::Refresh() {
  std::lock_guard<std::mutex> lock(mu_);
  if (StampOf(file_) != records_stamp_) LoadRecordsLocked();
  if (StampOf(StateFile(file_)) != state_stamp_) LoadStateLocked();
}

void SyncStore::LoadRecordsLocked() {
  records_stamp_ = StampOf(file_);
  Plist file = ReadPlistFile(file_);
  if (file && !IsDict(file.get())) {
    std::fprintf(stderr, "vado-devsimd: %s is not a dictionary; no records\n", file_.c_str());
  }
  next_number_ = std::max<uint64_t>(1, DictUint(file.get(), "NextRecordNumber").value_or(1));
  plist_t stored = DictItem(file.get(), "Records");
  if (!IsDict(stored)) {
    records_ = std::make_shared<Plist>(EmptyRecordsFile());
    return;
  }
  IndexDict(stored);
  // Only dictionaries are records; anything else in a hand-edited file is left out.
  for (const std::string& id : DictKeys(stored)) {
    if (!IsDict(plist_dict_get_item(stored, id.c_str()))) plist_dict_remove_item(stored, id.c_str());
  }
  records_ = std::make_shared<Plist>(std::move(file));
}

void SyncStore::LoadStateLocked() {
  fs::path path = StateFile(file_);
  state_stamp_ = StampOf(path);
  Plist file = ReadPlistFile(path);
  pending_.clear();
  plist_t pending = DictItem(file.get(), "Pending");
  for (const std::string& id : DictKeys(pending)) {
    pending_[id] = DictString(pending, id.c_str()).value_or("");
  }
  anchors_.device = DictString(file.get(), "DeviceAnchor").value_or("");
  anchors_.computer = DictString(file.get(), "ComputerAnchor").value_or("");
}

SyncSnapshot SyncStore::Records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
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
  if (plist_dict_get_item(SnapshotRecords(records_), id.c_str()) || claimed_.count(id)) return false;
  claimed_.insert(id);
  return true;
}

uint64_t SyncStore::NextNumber() {
  std::lock_guard<std::mutex> lock(mu_);
  return next_number_++;
}

Plist SyncStore::StatePlist(const std::map<std::string, std::string>& pending,
                            const SyncAnchors& anchors) const {
  Plist out = NewDict();
  if (!anchors.device.empty()) SetString(out.get(), "DeviceAnchor", anchors.device);
  if (!anchors.computer.empty()) SetString(out.get(), "ComputerAnchor", anchors.computer);
  Plist p = NewDict();
  for (const auto& [id, entity] : pending) SetString(p.get(), id.c_str(), entity);
  SetNode(out.get(), "Pending", std::move(p));
  return out;
}

bool SyncStore::Commit(const std::vector<SyncOp>& ops, const SyncAnchors* anchors,
                       const std::vector<std::string>& delivered, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!ops.empty()) {
    // Conversations still reading the old records keep them; otherwise change in place.
    if (records_.use_count() > 1) records_ = std::make_shared<Plist>(Copy(records_->get()));
    for (const SyncOp& op : ops) ApplySyncOp(SnapshotRecords(records_), op);
    SetUint(records_->get(), "NextRecordNumber", next_number_);
    if (!WriteCreatingFolder(file_, records_->get(), error)) {
      LoadRecordsLocked();  // back to what the disk holds
      return false;
    }
    records_stamp_ = StampOf(file_);
    for (const SyncOp& op : ops) claimed_.erase(op.id);
  }
  std::map<std::string, std::string> pending = pending_;
  for (const std::string& id : delivered) pending.erase(id);
  SyncAnchors new_anchors = anchors ? *anchors : anchors_;
  if (anchors || !delivered.empty()) {
    Plist state = StatePlist(pending, new_anchors);
    if (!WriteCreatingFolder(StateFile(file_), state.get(), error)) return false;
    state_stamp_ = StampOf(StateFile(file_));
  }
  pending_ = std::move(pending);
  anchors_ = std::move(new_anchors);
  return true;
}

bool SyncStore::Write(const fs::path& file, plist_t records, uint64_t next_number,
                      std::string* error) {
  Plist out = NewDict();
  SetNode(out.get(), "Records", Copy(records));
  SetUint(out.get(), "NextRecordNumber", next_number);
  SyncStore empty(file);
  Plist state = empty.StatePlist({}, {});
  return WriteCreatingFolder(file, out.get(), error) &&
         WriteCreatingFolder(StateFile(file), state.get(), error);
}

}  // namespace devsim
