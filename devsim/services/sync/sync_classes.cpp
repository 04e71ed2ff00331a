#include "services/sync/sync_classes.h"

#include <set>

#include "services/sync/sync_store.h"

namespace devsim {

const std::vector<SyncClassInfo>& SyncClasses() {
  using namespace entity;
  static const std::vector<SyncClassInfo> classes = {
      {SyncClassId::kContacts, "com.apple.Contacts", "Contacts", 106, 103, 50,
       {{kContact, kGroup}, {kEmail}, {kPhone}, {kStreet}, {kUrl}, {kRelated}, {kIm}, {kDate}},
       8},
      {SyncClassId::kCalendars, "com.apple.Calendars", "Calendars", 107, 100, 50,
       {{kCalendar}, {kEvent, kOrganizer}, {kDisplayAlarm, kAudioAlarm}, {kRecurrence},
        {kAttendee}},
       4},
      {SyncClassId::kBookmarks, "com.apple.Bookmarks", "Bookmarks", 106, 100, 0,
       {{kFolder, kBookmark}}, 1},
      {SyncClassId::kNotes, "com.apple.Notes", "Notes", 102, 100, 0, {{kNote}}, 1},
  };
  return classes;
}

const SyncClassInfo* FindSyncClass(std::string_view name) {
  for (const SyncClassInfo& c : SyncClasses()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

fs::path SyncStoreFile(const fs::path& sync_dir, const SyncClassInfo& cls) {
  return sync_dir / (std::string(cls.name) + ".plist");
}

std::string ContactPropertyNumber(std::string_view e) {
  using namespace entity;
  if (e == kPhone) return "3";
  if (e == kEmail) return "4";
  if (e == kStreet) return "5";
  if (e == kDate) return "12";
  if (e == kIm) return "13";
  if (e == kUrl) return "22";
  if (e == kRelated) return "23";
  return {};
}

namespace {

// A batch is closed early once its records reach about this many bytes, so no batch comes
// near the 10 MiB hosts accept for one message (contact images are what gets big).
constexpr size_t kMaxBatchBytes = 4000000;

// Roughly the record's size in a binary property list: its texts and data plus a little per
// node. Walks with an explicit stack; records may nest.
size_t ApproxSize(plist_t root) {
  size_t total = 0;
  std::vector<plist_t> stack{root};
  while (!stack.empty()) {
    plist_t n = stack.back();
    stack.pop_back();
    total += 8;
    switch (plist_get_node_type(n)) {
      case PLIST_STRING:
      case PLIST_DATA: {
        uint64_t len = 0;
        if (plist_get_node_type(n) == PLIST_STRING) plist_get_string_ptr(n, &len);
        else plist_get_data_ptr(n, &len);
        total += len;
        break;
      }
      case PLIST_ARRAY:
        for (uint32_t i = 0; i < plist_array_get_size(n); ++i) stack.push_back(plist_array_get_item(n, i));
        break;
      case PLIST_DICT:
        for (const std::string& k : DictKeys(n)) {
          total += k.size();
          stack.push_back(plist_dict_get_item(n, k.c_str()));
        }
        break;
      default:
        break;
    }
  }
  return total;
}

std::string EntityOf(plist_t record) { return DictString(record, kEntityKey).value_or(""); }

SyncBatch EmptyBatch(std::vector<std::string> entities) {
  SyncBatch b;
  b.records = NewDict();
  b.entities = std::move(entities);
  return b;
}

// Appends the records of `ids` to `out`, cut into batches of `size` (0: one batch).
void AddGroupBatches(plist_t records, const std::vector<std::string>& ids,
                     const std::vector<std::string>& entities, size_t size, bool send_empty,
                     std::vector<SyncBatch>* out) {
  if (ids.empty()) {
    if (send_empty) out->push_back(EmptyBatch(entities));
    return;
  }
  for (size_t start = 0; start < ids.size();) {
    size_t end = size == 0 ? ids.size() : std::min(ids.size(), start + size);
    SyncBatch b = EmptyBatch(entities);
    size_t bytes = 0;
    size_t i = start;
    for (; i < end && (i == start || bytes < kMaxBatchBytes); ++i) {
      plist_t r = plist_dict_get_item(records, ids[i].c_str());
      bytes += ids[i].size() + ApproxSize(r);
      plist_dict_set_item(b.records.get(), ids[i].c_str(), plist_copy(r));
    }
    out->push_back(std::move(b));
    start = i;
  }
}

}  // namespace

std::vector<SyncBatch> PlanFullPull(const SyncClassInfo& cls, plist_t records, size_t batch_size) {
  std::vector<std::string> keys = DictKeys(records);
  std::set<std::string> listed;
  std::vector<SyncBatch> out;
  for (size_t g = 0; g < cls.groups.size(); ++g) {
    std::vector<std::string> ids;
    std::vector<std::string> names;
    // Within a group, entity by entity: contacts first, then the groups that name them.
    for (const char* name : cls.groups[g]) {
      names.emplace_back(name);
      listed.insert(name);
      for (const std::string& id : keys) {
        if (EntityOf(plist_dict_get_item(records, id.c_str())) == name) ids.push_back(id);
      }
    }
    AddGroupBatches(records, ids, names, batch_size, g < cls.always_sent_groups, &out);
  }
  std::vector<std::string> others;
  std::set<std::string> other_names;
  for (const std::string& id : keys) {
    std::string e = EntityOf(plist_dict_get_item(records, id.c_str()));
    if (!listed.count(e)) {
      others.push_back(id);
      other_names.insert(e);
    }
  }
  AddGroupBatches(records, others, {other_names.begin(), other_names.end()}, batch_size, false,
                  &out);
  if (out.empty()) out.push_back(EmptyBatch({}));
  return out;
}

std::vector<SyncBatch> PlanChangesPull(const SyncClassInfo& cls, plist_t records,
                                       const std::map<std::string, std::string>& pending) {
  size_t count = cls.id == SyncClassId::kContacts ? 2 : 1;
  std::vector<SyncBatch> out;
  for (size_t i = 0; i < count; ++i) out.push_back(EmptyBatch({}));
  std::vector<std::set<std::string>> names(count);
  for (const auto& [id, recorded_entity] : pending) {
    plist_t r = plist_dict_get_item(records, id.c_str());
    std::string e = r ? EntityOf(r) : recorded_entity;
    size_t slot = (count == 2 && e != entity::kContact) ? 1 : 0;
    plist_dict_set_item(out[slot].records.get(), id.c_str(),
                        r ? plist_copy(r) : plist_new_string(kEmptyParameter));
    names[slot].insert(e);
  }
  for (size_t i = 0; i < count; ++i) {
    out[i].entities.assign(names[i].begin(), names[i].end());
    // A batch without changes carries the empty parameter instead of a dictionary.
    if (plist_dict_get_size(out[i].records.get()) == 0) {
      out[i].records = Plist(plist_new_string(kEmptyParameter));
    }
  }
  return out;
}

Plist ProcessChangesMessage(const SyncClassInfo& cls, const SyncBatch& batch, bool more,
                            bool full_pull) {
  Plist msg = NewArray();
  plist_array_append_item(msg.get(), plist_new_string("SDMessageProcessChanges"));
  plist_array_append_item(msg.get(), plist_new_string(cls.name));
  plist_array_append_item(msg.get(), plist_copy(batch.records.get()));
  plist_array_append_item(msg.get(), plist_new_bool(more ? 1 : 0));
  Plist actions = NewDict();
  Plist names = NewArray();
  for (const std::string& e : batch.entities) {
    if (!e.empty()) plist_array_append_item(names.get(), plist_new_string(e.c_str()));
  }
  SetNode(actions.get(), "SyncDeviceLinkEntityNamesKey", std::move(names));
  SetBool(actions.get(), "SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey", full_pull);
  plist_array_append_item(msg.get(), actions.release());
  return msg;
}

}  // namespace devsim
