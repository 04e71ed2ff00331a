// The sync record stores, the batch planner and the generated farm content.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "services/sync/sync_changes.h"
#include "services/sync/sync_classes.h"
#include "farm/sync_farm_builder.h"
#include "services/sync/sync_store.h"

namespace devsim {
namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/devsim-store-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const SyncClassInfo& Class(const char* name) { return *FindSyncClass(name); }

Plist Rec(const char* entity, const char* ref_field = nullptr, const char* ref = nullptr) {
  Plist r = NewDict();
  SetString(r.get(), kEntityKey, entity);
  if (ref_field) {
    Plist a = NewArray();
    plist_array_append_item(a.get(), plist_new_string(ref));
    SetNode(r.get(), ref_field, std::move(a));
  }
  return r;
}

size_t Count(plist_t dict) { return IsDict(dict) ? plist_dict_get_size(dict) : 0; }

TEST(SyncStore, CommittedChangesSurviveReloadingTheFile) {
  TempDir dir;
  fs::path file = dir.path() / "com.apple.Notes.plist";
  {
    auto store = SyncStore::Open(file);
    SyncWorkingCopy work(Class("com.apple.Notes"), store);
    Plist push = NewDict();
    SetNode(push.get(), "host-1", Rec(entity::kNote));
    Plist remap = work.ApplyPush(push.get(), false);
    ASSERT_EQ(Count(remap.get()), 1u);
    SyncAnchors anchors{"dev-anchor", "host-anchor"};
    std::string error;
    ASSERT_TRUE(store->Commit(work.ops(), &anchors, {}, &error)) << error;
  }
  Plist on_disk = ReadPlistFile(file);
  EXPECT_EQ(Count(DictItem(on_disk.get(), "Records")), 1u);
  Plist state = ReadPlistFile(SyncStore::StateFile(file));
  EXPECT_EQ(DictString(state.get(), "DeviceAnchor"), "dev-anchor");
  EXPECT_EQ(DictString(state.get(), "ComputerAnchor"), "host-anchor");
}

TEST(SyncStore, FilesEditedOnDiskAreReadAgainAtTheNextOpen) {
  TempDir dir;
  fs::path file = dir.path() / "com.apple.Notes.plist";
  std::string error;
  ASSERT_TRUE(SyncStore::Write(file, NewDict().get(), 1, &error));
  auto store = SyncStore::Open(file);
  EXPECT_EQ(Count(SnapshotRecords(store->Records())), 0u);
  Plist records = NewDict();
  SetNode(records.get(), "5", Rec(entity::kNote));
  SetNode(records.get(), "6", Rec(entity::kNote));
  ASSERT_TRUE(SyncStore::Write(file, records.get(), 7, &error));
  Plist state = NewDict();
  Plist pending = NewDict();
  SetString(pending.get(), "5", entity::kNote);
  SetNode(state.get(), "Pending", std::move(pending));
  ASSERT_TRUE(WritePlistFile(SyncStore::StateFile(file), state.get()));
  auto again = SyncStore::Open(file);
  EXPECT_EQ(Count(SnapshotRecords(again->Records())), 2u);
  EXPECT_EQ(again->Pending().size(), 1u);
  EXPECT_EQ(again->NextNumber(), 7u);
}

TEST(SyncStore, FailedWriteLeavesTheStoreAsItWas) {
  TempDir dir;
  // The store's folder is a file: nothing can be written below it.
  fs::path blocker = dir.path() / "sync";
  ASSERT_TRUE(WriteFileAtomic(blocker, "x"));
  auto store = SyncStore::Open(blocker / "com.apple.Notes.plist");
  SyncWorkingCopy work(Class("com.apple.Notes"), store);
  Plist push = NewDict();
  SetNode(push.get(), "n", Rec(entity::kNote));
  work.ApplyPush(push.get(), false);
  std::string error;
  EXPECT_FALSE(store->Commit(work.ops(), nullptr, {}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Count(SnapshotRecords(store->Records())), 0u);
}

TEST(SyncStore, ConcurrentConversationsGetDistinctIdentifiersAndBothCommitsStay) {
  TempDir dir;
  fs::path file = dir.path() / "com.apple.Contacts.plist";
  auto store = SyncStore::Open(file);
  const SyncClassInfo& cls = Class("com.apple.Contacts");
  std::vector<std::string> ids[2];
  bool committed[2] = {false, false};
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      SyncWorkingCopy work(cls, SyncStore::Open(file));
      for (int i = 0; i < 50; ++i) {
        std::string host = "h" + std::to_string(i);
        Plist push = NewDict();
        SetNode(push.get(), host.c_str(), Rec(entity::kContact));
        Plist remap = work.ApplyPush(push.get(), false);
        ids[t].push_back(DictString(remap.get(), host.c_str()).value_or(""));
      }
      std::string error;
      committed[t] = store->Commit(work.ops(), nullptr, {}, &error);
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(committed[0] && committed[1]);
  std::set<std::string> all;
  for (auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 100u);
  EXPECT_EQ(all.count(""), 0u);
  EXPECT_EQ(Count(SnapshotRecords(store->Records())), 100u);
}

TEST(SyncStore, ClaimRefusesIdentifiersInUse) {
  TempDir dir;
  fs::path file = dir.path() / "s.plist";
  Plist records = NewDict();
  SetNode(records.get(), "7", Rec(entity::kContact));
  std::string error;
  ASSERT_TRUE(SyncStore::Write(file, records.get(), 1, &error));
  auto store = SyncStore::Open(file);
  EXPECT_FALSE(store->Claim("7"));
  EXPECT_TRUE(store->Claim("8"));
  EXPECT_FALSE(store->Claim("8"));
}

TEST(SyncStore, HandEditedFileWithNonRecordsLoadsOnlyTheRecords) {
  TempDir dir;
  fs::path file = dir.path() / "s.plist";
  ASSERT_TRUE(WriteFileAtomic(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                    "<key>Records</key><dict><key>a</key><string>oops</string>"
                                    "<key>b</key><dict/></dict><key>NextRecordNumber</key>"
                                    "<string>x</string></dict></plist>"));
  auto store = SyncStore::Open(file);
  EXPECT_EQ(Count(SnapshotRecords(store->Records())), 1u);
  EXPECT_GE(store->NextNumber(), 1u);
}

TEST(SyncWorkingCopy, DeletingACalendarTakesItsEventsAndTheirAlarmsButNoOthers) {
  TempDir dir;
  fs::path file = dir.path() / "c.plist";
  Plist records = NewDict();
  SetNode(records.get(), "1", Rec(entity::kCalendar));
  SetNode(records.get(), "2", Rec(entity::kCalendar));
  SetNode(records.get(), "3", Rec(entity::kEvent, "calendar", "1"));
  SetNode(records.get(), "4", Rec(entity::kEvent, "calendar", "2"));
  SetNode(records.get(), "5", Rec(entity::kDisplayAlarm, "owner", "3"));
  SetNode(records.get(), "6", Rec(entity::kRecurrence, "owner", "3"));
  SetNode(records.get(), "7", Rec(entity::kDisplayAlarm, "owner", "4"));
  std::string error;
  ASSERT_TRUE(SyncStore::Write(file, records.get(), 8, &error));
  SyncWorkingCopy work(Class("com.apple.Calendars"), SyncStore::Open(file));
  Plist push = NewDict();
  SetString(push.get(), "1", kEmptyParameter);
  work.ApplyPush(push.get(), false);
  std::vector<std::string> left = DictKeys(work.records());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2", "4", "7"}));
}

TEST(SyncWorkingCopy, DeeplyNestedFolderDeletionDoesNotRecurse) {
  TempDir dir;
  fs::path file = dir.path() / "b.plist";
  Plist records = NewDict();
  SetNode(records.get(), "f0", Rec(entity::kFolder));
  const int depth = 5000;
  for (int i = 1; i <= depth; ++i) {
    std::string parent = "f" + std::to_string(i - 1);
    SetNode(records.get(), ("f" + std::to_string(i)).c_str(), Rec(entity::kFolder, "parent", parent.c_str()));
  }
  std::string error;
  ASSERT_TRUE(SyncStore::Write(file, records.get(), 1, &error));
  SyncWorkingCopy work(Class("com.apple.Bookmarks"), SyncStore::Open(file));
  Plist push = NewDict();
  SetString(push.get(), "f0", kEmptyParameter);
  work.ApplyPush(push.get(), false);
  EXPECT_EQ(Count(work.records()), 0u);
}

TEST(SyncWorkingCopy, ChildrenPushedWithANewContactFollowItsDeviceIdentifier) {
  TempDir dir;
  SyncWorkingCopy work(Class("com.apple.Contacts"), SyncStore::Open(dir.path() / "c.plist"));
  Plist push = NewDict();
  // The phone sorts before its contact; it must still land under the contact's new id.
  SetNode(push.get(), "a-phone", Rec(entity::kPhone, "contact", "z-person"));
  SetNode(push.get(), "b-mail", Rec(entity::kEmail, "contact", "z-person"));
  SetNode(push.get(), "z-person", Rec(entity::kContact));
  SetNode(push.get(), "g", Rec(entity::kGroup, "members", "z-person"));
  Plist remap = work.ApplyPush(push.get(), false);
  std::string person = DictString(remap.get(), "z-person").value_or("");
  ASSERT_FALSE(person.empty());
  EXPECT_EQ(DictString(remap.get(), "a-phone"), "3/" + person + "/0");
  EXPECT_EQ(DictString(remap.get(), "b-mail"), "4/" + person + "/0");
  std::string group = DictString(remap.get(), "g").value_or("");
  EXPECT_EQ(group.rfind("Group/", 0), 0u);
  plist_t members = DictItem(DictItem(work.records(), group.c_str()), "members");
  EXPECT_EQ(StringValue(plist_array_get_item(members, 0)), person);
  // A later push naming the host's contact id still reaches the same contact.
  Plist later = NewDict();
  SetNode(later.get(), "c-phone", Rec(entity::kPhone, "contact", "z-person"));
  remap = work.ApplyPush(later.get(), false);
  EXPECT_EQ(DictString(remap.get(), "c-phone"), "3/" + person + "/1");
}

TEST(SyncPlanner, FullPullCutsEachEntityGroupIntoBatches) {
  Plist records = NewDict();
  for (int i = 0; i < 7; ++i) SetNode(records.get(), std::to_string(i).c_str(), Rec(entity::kContact));
  SetNode(records.get(), "Group/9", Rec(entity::kGroup));
  SetNode(records.get(), "3/1/0", Rec(entity::kPhone, "contact", "1"));
  SetNode(records.get(), "x", Rec("com.apple.contacts.Custom Field"));
  auto batches = PlanFullPull(Class("com.apple.Contacts"), records.get(), 3);
  // 8 contacts and groups in 3 batches, 7 value entities (one with a record), the stranger.
  ASSERT_EQ(batches.size(), 3u + 7u + 1u);
  EXPECT_EQ(Count(batches[0].records.get()), 3u);
  EXPECT_EQ(Count(batches[2].records.get()), 2u);
  EXPECT_TRUE(DictItem(batches[2].records.get(), "Group/9"));
  EXPECT_TRUE(DictItem(batches[4].records.get(), "3/1/0"));  // Email, then Phone Number
  EXPECT_TRUE(DictItem(batches.back().records.get(), "x"));
  auto one = PlanFullPull(Class("com.apple.Contacts"), records.get(), 0);
  EXPECT_EQ(Count(one[0].records.get()), 8u);
}

TEST(SyncPlanner, BigRecordsAreSpreadOverBatchesWellUnderTheMessageLimit) {
  Plist records = NewDict();
  for (int i = 0; i < 12; ++i) {
    Plist c = Rec(entity::kContact);
    SetData(c.get(), "image", std::string(1000000, 'j'));
    SetNode(records.get(), std::to_string(i).c_str(), std::move(c));
  }
  auto batches = PlanFullPull(Class("com.apple.Contacts"), records.get(), 0);
  size_t contacts = 0;
  for (size_t i = 0; i + 7 < batches.size(); ++i) {
    size_t n = Count(batches[i].records.get());
    EXPECT_LE(n, 5u);
    contacts += n;
  }
  EXPECT_EQ(contacts, 12u);
  EXPECT_GE(batches.size(), 3u + 7u);
}

TEST(SyncPlanner, ChangesPullHasTwoContactBatchesAndOneForOtherClasses) {
  Plist records = NewDict();
  SetNode(records.get(), "1", Rec(entity::kContact));
  SetNode(records.get(), "3/1/0", Rec(entity::kPhone, "contact", "1"));
  std::map<std::string, std::string> pending{{"1", entity::kContact}, {"3/1/0", entity::kPhone}};
  auto contacts = PlanChangesPull(Class("com.apple.Contacts"), records.get(), pending);
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_TRUE(DictItem(contacts[0].records.get(), "1"));
  EXPECT_TRUE(DictItem(contacts[1].records.get(), "3/1/0"));
  auto notes = PlanChangesPull(Class("com.apple.Notes"), records.get(), {});
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(StringValue(notes[0].records.get()), kEmptyParameter);
}

TEST(SyncFarmContent, GeneratedRecordsHaveTheDevicesShapes) {
  TempDir dir;
  SyncContentSpec spec;
  spec.contacts = 60;
  spec.groups = 4;
  spec.calendars = 3;
  spec.events = 80;
  spec.bookmarks = 40;
  spec.notes = 5;
  std::mt19937_64 rng(5);
  std::string error;
  ASSERT_TRUE(AddFarmSyncContent(dir.path(), spec, rng, &error)) << error;

  auto load = [&](const char* cls) {
    return Copy(DictItem(ReadPlistFile(dir.path() / (std::string(cls) + ".plist")).get(), "Records"));
  };
  std::map<std::string, int> counts;
  Plist contacts = load("com.apple.Contacts");
  for (const std::string& id : DictKeys(contacts.get())) {
    plist_t r = DictItem(contacts.get(), id.c_str());
    std::string e = DictString(r, kEntityKey).value_or("");
    ++counts[e];
    if (plist_t b = DictItem(r, "birthday")) {
      EXPECT_EQ(plist_get_node_type(b), PLIST_DATE);
    }
    if (e != entity::kContact && e != entity::kGroup) {
      std::string owner = StringValue(plist_array_get_item(DictItem(r, "contact"), 0)).value_or("");
      EXPECT_TRUE(DictItem(contacts.get(), owner.c_str())) << id;
      EXPECT_EQ(id.rfind(ContactPropertyNumber(e) + "/" + owner + "/", 0), 0u) << id;
    }
  }
  EXPECT_EQ(counts[entity::kContact], 60);
  EXPECT_EQ(counts[entity::kGroup], 4);
  EXPECT_GE(counts[entity::kPhone], 60);

  Plist cals = load("com.apple.Calendars");
  int alarms = 0, recurrences = 0;
  for (const std::string& id : DictKeys(cals.get())) {
    plist_t r = DictItem(cals.get(), id.c_str());
    std::string e = DictString(r, kEntityKey).value_or("");
    if (e == entity::kEvent) {
      EXPECT_EQ(plist_get_node_type(DictItem(r, "start date")), PLIST_DATE);
    }
    if (e == entity::kCalendar) {
      EXPECT_EQ(plist_array_get_size(DictItem(r, "colorComponents")), 4u);
    }
    if (e == entity::kDisplayAlarm) {
      ++alarms;
      uint64_t raw = 0;
      plist_get_uint_val(DictItem(r, "triggerduration"), &raw);
      EXPECT_LT(static_cast<int64_t>(raw), 0);  // before the event
    }
    if (e == entity::kRecurrence) ++recurrences;
  }
  EXPECT_GT(alarms, 0);
  EXPECT_GT(recurrences, 0);

  Plist marks = load("com.apple.Bookmarks");
  int tops = 0, nested_folders = 0, bookmarks = 0;
  for (const std::string& id : DictKeys(marks.get())) {
    plist_t r = DictItem(marks.get(), id.c_str());
    if (!DictItem(r, "parent")) {
      ++tops;
      uint64_t pos = 0;
      plist_get_uint_val(DictItem(r, "position"), &pos);
      EXPECT_EQ(static_cast<int64_t>(pos), -2);
    } else if (DictString(r, kEntityKey) == entity::kFolder) {
      ++nested_folders;
    } else {
      ++bookmarks;
    }
  }
  EXPECT_EQ(tops, 2);
  EXPECT_GT(nested_folders, 0);
  EXPECT_EQ(bookmarks, 40);
  EXPECT_EQ(Count(load("com.apple.Notes").get()), 5u);
}

}  // namespace
}  // namespace devsim
