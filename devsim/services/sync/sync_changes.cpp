#include "services/sync/sync_changes.h"

#include <algorithm>

namespace devsim {
namespace {

// Fields holding an array of identifiers of the records a record belongs to: a child value's
// contact, an event's calendar, an alarm's or recurrence's event, a bookmark's folder.
constexpr const char* kOwnerFields[] = {"contact", "calendar", "owner", "parent"};
// A group's member list: removing a member edits the group instead of deleting it.
constexpr const char* kMembersField = "members";
// Longer identifiers are not records any host sends; they are ignored.
constexpr size_t kMaxIdLength = 1024;
constexpr uint64_t kMaxValueIndex = 1u << 20;

bool ArrayHolds(plist_t array, const std::string& id) {
  if (!array || plist_get_node_type(array) != PLIST_ARRAY) return false;
  for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
    if (StringValue(plist_array_get_item(array, i)) == id) return true;
  }
  return false;
}

bool IsDeletion(plist_t value) { return StringValue(value) == kEmptyParameter; }

}  // namespace

SyncWorkingCopy::SyncWorkingCopy(const SyncClassInfo& cls, std::shared_ptr<SyncStore> store)
    : cls_(cls), store_(std::move(store)), base_(store_->Records()) {}

plist_t SyncWorkingCopy::Get(const std::string& id) const {
  auto it = changed_.find(id);
  if (it != changed_.end()) return it->second.get();
  return cleared_ ? nullptr : plist_dict_get_item(SnapshotRecords(base_), id.c_str());
}

std::vector<std::string> SyncWorkingCopy::Ids() const {
  std::vector<std::string> ids;
  if (!cleared_) {
    for (std::string& id : DictKeys(SnapshotRecords(base_))) {
      if (!changed_.count(id)) ids.push_back(std::move(id));
    }
  }
  for (const auto& [id, record] : changed_) {
    if (record) ids.push_back(id);
  }
  return ids;
}

plist_t SyncWorkingCopy::records() {
  // Untouched: the store's own records serve (no copy of a big address book).
  if (!cleared_ && changed_.empty()) return SnapshotRecords(base_);
  if (!merged_) {
    merged_ = cleared_ ? NewDict() : Copy(SnapshotRecords(base_));
    for (const auto& [id, record] : changed_) {
      if (record) {
        plist_dict_set_item(merged_.get(), id.c_str(), plist_copy(record.get()));
      } else if (plist_dict_get_item(merged_.get(), id.c_str())) {
        plist_dict_remove_item(merged_.get(), id.c_str());
      }
    }
  }
  return merged_.get();
}

bool SyncWorkingCopy::KnownEntity(const std::string& entity) const {
  for (const auto& group : cls_.groups) {
    for (const char* e : group) {
      if (entity == e) return true;
    }
  }
  return false;
}

void SyncWorkingCopy::Put(const std::string& id, plist_t record) {
  changed_[id] = Copy(record);
  merged_.reset();
  ops_.push_back({SyncOp::Kind::kPut, id, Copy(record)});
}

void SyncWorkingCopy::Delete(const std::vector<std::string>& ids) {
  // Who names whom, built once: owner -> records it owns, member -> groups listing it.
  std::map<std::string, std::vector<std::string>> owned, listed;
  for (const std::string& id : Ids()) {
    plist_t r = Get(id);
    auto index = [&id](plist_t array, std::map<std::string, std::vector<std::string>>* into) {
      if (!array || plist_get_node_type(array) != PLIST_ARRAY) return;
      for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        if (auto s = StringValue(plist_array_get_item(array, i))) (*into)[*s].push_back(id);
      }
    };
    for (const char* field : kOwnerFields) index(DictItem(r, field), &owned);
    index(DictItem(r, kMembersField), &listed);
  }
  // What belonged to a deleted record goes with it; groups only lose the member. A work
  // list rather than recursion: a host may nest folders as deep as it likes.
  std::vector<std::string> work(ids.rbegin(), ids.rend());
  while (!work.empty()) {
    std::string id = std::move(work.back());
    work.pop_back();
    if (!Get(id)) continue;
    changed_[id] = nullptr;
    merged_.reset();
    ops_.push_back({SyncOp::Kind::kDelete, id, nullptr});
    if (auto it = owned.find(id); it != owned.end()) {
      work.insert(work.end(), it->second.begin(), it->second.end());
    }
    auto it = listed.find(id);
    if (it == listed.end()) continue;
    for (const std::string& group : it->second) {
      plist_t r = Get(group);
      plist_t members = DictItem(r, kMembersField);
      if (!ArrayHolds(members, id)) continue;
      Plist edited = Copy(r);
      Plist kept = NewArray();
      for (uint32_t i = 0; i < plist_array_get_size(members); ++i) {
        plist_t m = plist_array_get_item(members, i);
        if (StringValue(m) != id) plist_array_append_item(kept.get(), plist_copy(m));
      }
      SetNode(edited.get(), kMembersField, std::move(kept));
      Put(group, edited.get());
    }
  }
}

void SyncWorkingCopy::TranslateReferences(plist_t record) const {
  auto translate = [this](plist_t array) {
    if (!array || plist_get_node_type(array) != PLIST_ARRAY) return;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
      plist_t item = plist_array_get_item(array, i);
      auto s = StringValue(item);
      if (!s) continue;
      auto it = remapped_.find(*s);
      if (it != remapped_.end()) plist_set_string_val(item, it->second.c_str());
    }
  };
  for (const char* field : kOwnerFields) translate(DictItem(record, field));
  translate(DictItem(record, kMembersField));
}

std::string SyncWorkingCopy::NewId(const std::string& host_id, const std::string& entity,
                                   plist_t record) {
  // Bookmarks keep the host's identifiers as their UUIDs.
  if (cls_.id == SyncClassId::kBookmarks) return host_id;
  if (cls_.id == SyncClassId::kContacts && entity != entity::kContact && entity != entity::kGroup) {
    // A contact's value: "<property>/<person>/<value index>", the lowest free index.
    plist_t owner = DictItem(record, "contact");
    auto person = owner && plist_get_node_type(owner) == PLIST_ARRAY && plist_array_get_size(owner) > 0
                      ? StringValue(plist_array_get_item(owner, 0))
                      : std::nullopt;
    // The value belongs to a contact of this class, or it cannot exist.
    if (!person || person->empty() || person->find('/') != std::string::npos ||
        DictString(Get(*person), kEntityKey) != entity::kContact) {
      return {};
    }
    std::string prefix = ContactPropertyNumber(entity) + "/" + *person + "/";
    for (uint64_t k = 0; k < kMaxValueIndex; ++k) {
      std::string id = prefix + std::to_string(k);
      if (store_->Claim(id)) return id;
    }
    return {};
  }
  std::string prefix = entity == entity::kGroup ? "Group/" : "";
  for (;;) {
    std::string id = prefix + std::to_string(store_->NextNumber());
    if (store_->Claim(id)) return id;
  }
}

Plist SyncWorkingCopy::ApplyPush(plist_t pushed, bool echo_modified) {
  Plist remap = NewDict();
  if (!IsDict(pushed)) return remap;
  // Parents before their children, whatever order the host used: contacts before their
  // values, calendars before events before alarms.
  auto rank = [this](const std::string& entity) {
    size_t r = 0;
    for (const auto& group : cls_.groups) {
      for (const char* e : group) {
        if (entity == e) return r;
        ++r;
      }
    }
    return r;
  };
  struct Item {
    size_t rank;
    std::string id;
    plist_t value;
  };
  IndexDict(pushed);
  std::vector<Item> puts;
  std::vector<std::string> deletions;
  for (const std::string& id : DictKeys(pushed)) {
    if (id.empty() || id.size() > kMaxIdLength) continue;
    plist_t value = plist_dict_get_item(pushed, id.c_str());
    if (IsDeletion(value)) {
      deletions.push_back(id);
    } else if (IsDict(value)) {
      std::string e = DictString(value, kEntityKey).value_or("");
      if (e.empty()) e = DictString(Get(id), kEntityKey).value_or("");
      puts.push_back({rank(e), id, value});
    }
  }
  std::stable_sort(puts.begin(), puts.end(), [](const Item& a, const Item& b) { return a.rank < b.rank; });
  for (const Item& item : puts) {
    Plist record = Copy(item.value);
    plist_t existing = Get(item.id);
    std::string e = DictString(record.get(), kEntityKey).value_or("");
    if (e.empty() && existing) {
      e = DictString(existing, kEntityKey).value_or("");
      SetString(record.get(), kEntityKey, e);
    }
    if (!KnownEntity(e)) continue;
    TranslateReferences(record.get());
    if (existing) {
      Put(item.id, record.get());
      if (echo_modified) SetString(remap.get(), item.id.c_str(), item.id);
      continue;
    }
    auto already = remapped_.find(item.id);
    std::string device_id = already != remapped_.end() ? already->second : NewId(item.id, e, record.get());
    if (device_id.empty()) continue;
    remapped_[item.id] = device_id;
    Put(device_id, record.get());
    // Records that keep the host's identifier (bookmarks) need no remapping.
    if (device_id != item.id || echo_modified) SetString(remap.get(), item.id.c_str(), device_id);
  }
  for (std::string& id : deletions) {
    auto it = remapped_.find(id);
    if (it != remapped_.end()) id = it->second;
  }
  if (!deletions.empty()) Delete(deletions);
  return remap;
}

void SyncWorkingCopy::ClearAll() {
  cleared_ = true;
  changed_.clear();
  merged_.reset();
  ops_.push_back({SyncOp::Kind::kClear, {}, nullptr});
}

}  // namespace devsim
