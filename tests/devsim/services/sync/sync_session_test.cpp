// The device side of mobilesync conversations, message by message, without sockets: the
// exact reply sequences hosts wait for, pending device changes, refusals and bad input.
#include <gtest/gtest.h>

#include <unistd.h>

#include "farm/file_util.h"
#include "services/sync/sync_session.h"

namespace devsim {
namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/devsim-sync-XXXXXX";
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

Plist Msg(std::initializer_list<std::string> parts) { return SyncMessage(parts); }

Plist Record(const char* entity, std::initializer_list<std::pair<const char*, const char*>> fields) {
  Plist r = NewDict();
  SetString(r.get(), kEntityKey, entity);
  for (auto [k, v] : fields) SetString(r.get(), k, v);
  return r;
}

Plist Ids(std::initializer_list<const char*> ids) {
  Plist a = NewArray();
  for (const char* id : ids) plist_array_append_item(a.get(), plist_new_string(id));
  return a;
}

std::string Name(const Plist& msg) { return StringValue(plist_array_get_item(msg.get(), 0)).value_or(""); }

bool More(const Plist& msg) {
  uint8_t b = 0;
  plist_get_bool_val(plist_array_get_item(msg.get(), 3), &b);
  return b != 0;
}

// A conversation over a store folder, already past the version exchange.
class Conversation {
 public:
  explicit Conversation(const fs::path& dir, SyncSettings settings = {}, std::set<std::string> cloud = {}) {
    SyncSessionConfig c;
    c.sync_dir = dir;
    c.settings = settings;
    c.cloud_classes = std::move(cloud);
    c.clock = [] { return std::time_t(1710000000); };
    session_ = std::make_unique<MobileSyncSession>(std::move(c));
    Plist ok = Msg({"DLMessageVersionExchange", "DLVersionsOk"});
    plist_array_append_item(ok.get(), plist_new_uint(100));
    auto r = Send(ok);
    ready_ = r.size() == 1 && Name(r[0]) == "DLMessageDeviceReady";
  }
  std::vector<Plist> Send(const Plist& msg) { return session_->Handle(msg.get(), &closed_); }
  std::vector<Plist> Open(const char* cls, uint64_t version) {
    Plist m = Msg({"SDMessageSyncDataClassWithDevice", cls, std::string(cls) + "-Device-Anchor",
                   "2024-03-09 14:05:07 +0800"});
    plist_array_append_item(m.get(), plist_new_uint(version));
    plist_array_append_item(m.get(), plist_new_string(kEmptyParameter));
    return Send(m);
  }
  // One reply expected; its name.
  std::string One(const Plist& msg) {
    auto r = Send(msg);
    if (r.size() != 1) return "<" + std::to_string(r.size()) + " replies>";
    last_ = std::move(r[0]);
    return Name(last_);
  }
  const Plist& last() const { return last_; }
  bool ready() const { return ready_; }
  bool closed() const { return closed_; }
  MobileSyncSession& session() { return *session_; }

 private:
  std::unique_ptr<MobileSyncSession> session_;
  Plist last_;
  bool closed_ = false;
  bool ready_ = false;
};

Plist Push(const char* cls, Plist records, bool with_tail = true) {
  Plist m = Msg({"SDMessageProcessChanges", cls});
  plist_array_append_item(m.get(), records.release());
  if (with_tail) {
    plist_array_append_item(m.get(), plist_new_bool(0));
    Plist actions = NewDict();
    SetBool(actions.get(), "SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey", true);
    plist_array_append_item(m.get(), actions.release());
  }
  return m;
}

plist_t RemapOf(const Plist& reply) { return plist_array_get_item(reply.get(), 2); }

Plist StoredRecords(const fs::path& dir, const char* cls) {
  Plist file = ReadPlistFile(dir / (std::string(cls) + ".plist"));
  return Copy(DictItem(file.get(), "Records"));
}

void WriteContacts(const fs::path& dir, Plist pending = nullptr) {
  Plist records = NewDict();
  SetNode(records.get(), "1", Record("com.apple.contacts.Contact", {{"first name", "Ann"}}));
  Plist phone = Record("com.apple.contacts.Phone Number", {{"value", "+1 555"}, {"type", "home"}});
  SetNode(phone.get(), "contact", Ids({"1"}));
  SetNode(records.get(), "3/1/0", std::move(phone));
  std::string error;
  fs::path file = dir / "com.apple.Contacts.plist";
  ASSERT_TRUE(SyncStore::Write(file, records.get(), 2, &error)) << error;
  if (pending) {
    Plist state = NewDict();
    SetNode(state.get(), "Pending", std::move(pending));
    ASSERT_TRUE(WritePlistFile(SyncStore::StateFile(file), state.get()));
  }
}

TEST(SyncOpening, OffersTheVersionAndTakesAnyNumberInTheAnswer) {
  TempDir dir;
  SyncSessionConfig c;
  c.sync_dir = dir.path();
  c.settings.version_major = 300;
  c.settings.version_minor = 100;
  MobileSyncSession s(std::move(c));
  Plist offer = s.VersionOffer();
  ASSERT_EQ(plist_array_get_size(offer.get()), 3u);
  uint64_t major = 0, minor = 0;
  plist_get_uint_val(plist_array_get_item(offer.get(), 1), &major);
  plist_get_uint_val(plist_array_get_item(offer.get(), 2), &minor);
  EXPECT_EQ(major, 300u);
  EXPECT_EQ(minor, 100u);
  Conversation conv(dir.path());  // answers 100, as some hosts do
  EXPECT_TRUE(conv.ready());
}

TEST(SyncOpening, AnythingButVersionsOkEndsTheLink) {
  TempDir dir;
  SyncSessionConfig c;
  c.sync_dir = dir.path();
  MobileSyncSession s(std::move(c));
  bool close = false;
  Plist refused = Msg({"DLMessageVersionExchange", "DLVersionsRefused"});
  EXPECT_TRUE(s.Handle(refused.get(), &close).empty());
  EXPECT_TRUE(close);
}

TEST(SyncOpening, ClassAnswerHasSixElementsAndResetsOnFirstContact) {
  TempDir dir;
  Conversation conv(dir.path());
  auto r = conv.Open("com.apple.Calendars", 110);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(plist_array_get_size(r[0].get()), 6u);
  EXPECT_EQ(Name(r[0]), "SDMessageSyncDataClassWithComputer");
  EXPECT_EQ(StringValue(plist_array_get_item(r[0].get(), 4)), "SDSyncTypeReset");
  uint64_t version = 0;
  plist_get_uint_val(plist_array_get_item(r[0].get(), 5), &version);
  EXPECT_GT(version, 0u);
}

TEST(SyncOpening, UnknownClassAndOutdatedContactsHostAreRefusedAndClosed) {
  TempDir dir;
  Conversation a(dir.path());
  auto r = a.Open("com.apple.MailAccounts", 106);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(Name(r[0]), "SDMessageRefuseToSyncDataClassWithComputer");
  EXPECT_TRUE(a.closed());
  Conversation b(dir.path());
  r = b.Open("com.apple.Contacts", 102);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(Name(r[0]), "SDMessageRefuseToSyncDataClassWithComputer");
  EXPECT_NE(StringValue(plist_array_get_item(r[0].get(), 2)).value_or("").find("out of date"), std::string::npos);
}

// Add or edit a contact the way the worker does it: the changes pull, one acknowledgement,
// then pushes without the second acknowledgement.
TEST(SyncContactsPush, PushAfterTheLastChangeBatchIsAnsweredWithTheRemapOnly) {
  TempDir dir;
  WriteContacts(dir.path());
  Conversation conv(dir.path());
  ASSERT_EQ(conv.Open("com.apple.Contacts", 106).size(), 1u);
  ASSERT_EQ(conv.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
  EXPECT_TRUE(More(conv.last()));
  ASSERT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
  EXPECT_FALSE(More(conv.last()));
  EXPECT_TRUE(conv.Send(Msg({"DLMessagePing", "com.apple.Contacts"})).empty());

  Plist records = NewDict();
  SetNode(records.get(), "fe-7", Record("com.apple.contacts.Contact", {{"first name", "Bo"}}));
  ASSERT_EQ(conv.One(Push("com.apple.Contacts", std::move(records))), "SDMessageRemapRecordIdentifiers");
  std::string device_id = DictString(RemapOf(conv.last()), "fe-7").value_or("");
  ASSERT_FALSE(device_id.empty());
  EXPECT_NE(device_id, "1");

  Plist phones = NewDict();
  Plist phone = Record("com.apple.contacts.Phone Number", {{"value", "+49 30 1"}, {"type", "work"}});
  SetNode(phone.get(), "contact", Ids({device_id.c_str()}));
  SetNode(phones.get(), "fe-phone", std::move(phone));
  ASSERT_EQ(conv.One(Push("com.apple.Contacts", std::move(phones))), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(DictString(RemapOf(conv.last()), "fe-phone"), "3/" + device_id + "/0");
  ASSERT_EQ(conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Contacts"})), "SDMessageDeviceFinishedSession");

  Plist stored = StoredRecords(dir.path(), "com.apple.Contacts");
  EXPECT_EQ(DictString(DictItem(stored.get(), device_id.c_str()), "first name"), "Bo");
  EXPECT_TRUE(DictItem(stored.get(), ("3/" + device_id + "/0").c_str()));
  EXPECT_TRUE(DictItem(stored.get(), "3/1/0"));  // the device's own records stay
}

TEST(SyncContactsPush, DeletionWithThreeElementsAfterTwoAcknowledgements) {
  TempDir dir;
  WriteContacts(dir.path());
  Conversation conv(dir.path());
  conv.Open("com.apple.Contacts", 106);
  EXPECT_EQ(conv.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
  EXPECT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
  EXPECT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"})),
            "SDMessageDeviceReadyToReceiveChanges");
  Plist records = NewDict();
  SetString(records.get(), "1", kEmptyParameter);
  ASSERT_EQ(conv.One(Push("com.apple.Contacts", std::move(records), false)), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(StringValue(RemapOf(conv.last())), kEmptyParameter);
  EXPECT_EQ(conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Contacts"})), "SDMessageDeviceFinishedSession");
  Plist stored = StoredRecords(dir.path(), "com.apple.Contacts");
  EXPECT_EQ(plist_dict_get_size(stored.get()), 0u);  // the contact and its number
}

TEST(SyncContactsPull, FullPullOfAnEmptyClassStillSendsEveryEntityBatch) {
  TempDir dir;
  Conversation conv(dir.path());
  conv.Open("com.apple.Contacts", 106);
  int batches = 1;
  ASSERT_EQ(conv.One(Msg({"SDMessageGetAllRecordsFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
  while (More(conv.last())) {
    ASSERT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
    ++batches;
  }
  EXPECT_EQ(batches, 8);
  EXPECT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"})),
            "SDMessageDeviceReadyToReceiveChanges");
}

TEST(SyncCalendarsPush, ChangesPullIsOneBatchAndEachPushGetsItsRemap) {
  TempDir dir;
  Conversation conv(dir.path());
  conv.Open("com.apple.Calendars", 110);
  ASSERT_EQ(conv.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Calendars"})), "SDMessageProcessChanges");
  EXPECT_FALSE(More(conv.last()));
  EXPECT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Calendars"})),
            "SDMessageDeviceReadyToReceiveChanges");
  conv.Send(Msg({"DLMessagePing", "Preparing to get changes for device"}));
  Plist cal = NewDict();
  SetNode(cal.get(), "c1", Record("com.apple.calendars.Calendar", {{"title", "Trips"}}));
  ASSERT_EQ(conv.One(Push("com.apple.Calendars", std::move(cal))), "SDMessageRemapRecordIdentifiers");
  std::string cal_id = DictString(RemapOf(conv.last()), "c1").value_or("");
  ASSERT_FALSE(cal_id.empty());
  Plist ev = NewDict();
  Plist event = Record("com.apple.calendars.Event", {{"summary", "Flight"}});
  SetNode(event.get(), "calendar", Ids({cal_id.c_str()}));
  SetNode(ev.get(), "e1", std::move(event));
  ASSERT_EQ(conv.One(Push("com.apple.Calendars", std::move(ev))), "SDMessageRemapRecordIdentifiers");
  std::string event_id = DictString(RemapOf(conv.last()), "e1").value_or("");
  Plist al = NewDict();
  Plist alarm = Record("com.apple.calendars.DisplayAlarm", {{"description", "Go"}});
  plist_dict_set_item(alarm.get(), "triggerduration", plist_new_uint(static_cast<uint64_t>(-900)));
  SetNode(alarm.get(), "owner", Ids({event_id.c_str()}));
  SetNode(al.get(), "a1", std::move(alarm));
  ASSERT_EQ(conv.One(Push("com.apple.Calendars", std::move(al))), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Calendars"})), "SDMessageDeviceFinishedSession");

  // Deleting the calendar later takes its event and the event's alarm along.
  Conversation del(dir.path());
  del.Open("com.apple.Calendars", 110);
  Plist gone = NewDict();
  SetString(gone.get(), cal_id.c_str(), kEmptyParameter);
  del.One(Push("com.apple.Calendars", std::move(gone), false));
  del.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Calendars"}));
  EXPECT_EQ(plist_dict_get_size(StoredRecords(dir.path(), "com.apple.Calendars").get()), 0u);
}

TEST(SyncNotesPush, RemapNamesTheHostsNoteIdentifier) {
  TempDir dir;
  Conversation conv(dir.path());
  conv.Open("com.apple.Notes", 102);
  conv.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Notes"}));
  EXPECT_EQ(conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Notes"})),
            "SDMessageDeviceReadyToReceiveChanges");
  Plist note = Record("com.apple.notes.Note", {{"contentType", "text/plain"}, {"content", "abc"}});
  plist_dict_set_item(note.get(), "dateCreated", plist_new_date(700000000, 0));
  Plist records = NewDict();
  SetNode(records.get(), "note-7", std::move(note));
  ASSERT_EQ(conv.One(Push("com.apple.Notes", std::move(records))), "SDMessageRemapRecordIdentifiers");
  std::string id = DictString(RemapOf(conv.last()), "note-7").value_or("");
  ASSERT_FALSE(id.empty());
  conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Notes"}));
  Plist notes = StoredRecords(dir.path(), "com.apple.Notes");
  plist_t stored = DictItem(notes.get(), id.c_str());
  ASSERT_TRUE(stored);
  EXPECT_EQ(plist_get_node_type(DictItem(stored, "dateCreated")), PLIST_DATE);
}

TEST(SyncBookmarksPush, BookmarksKeepTheHostsIdentifiersWithoutARemap) {
  TempDir dir;
  Conversation conv(dir.path());
  conv.Open("com.apple.Bookmarks", 102);
  Plist records = NewDict();
  SetNode(records.get(), "F-1", Record("com.apple.bookmarks.Folder", {{"name", "Work"}}));
  Plist b = Record("com.apple.bookmarks.Bookmark", {{"name", "Wiki"}, {"url", "https://w.example/"}});
  SetNode(b.get(), "parent", Ids({"F-1"}));
  SetNode(records.get(), "B-1", std::move(b));
  ASSERT_EQ(conv.One(Push("com.apple.Bookmarks", std::move(records))), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(StringValue(RemapOf(conv.last())), kEmptyParameter);
  conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Bookmarks"}));
  Plist stored = StoredRecords(dir.path(), "com.apple.Bookmarks");
  EXPECT_TRUE(DictItem(stored.get(), "F-1"));
  EXPECT_TRUE(DictItem(stored.get(), "B-1"));
}

TEST(SyncPending, DeviceChangesAreSentOnceAndForgottenAfterFinishing) {
  TempDir dir;
  Plist pending = NewDict();
  SetString(pending.get(), "1", "com.apple.contacts.Contact");
  SetString(pending.get(), "9", "com.apple.contacts.Contact");  // deleted on the device
  SetString(pending.get(), "3/1/0", "com.apple.contacts.Phone Number");
  WriteContacts(dir.path(), std::move(pending));
  for (bool finish : {false, true}) {
    Conversation conv(dir.path());
    conv.Open("com.apple.Contacts", 106);
    ASSERT_EQ(conv.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Contacts"})), "SDMessageProcessChanges");
    plist_t first = plist_array_get_item(conv.last().get(), 2);
    EXPECT_TRUE(IsDict(DictItem(first, "1")));
    EXPECT_EQ(DictString(first, "9"), kEmptyParameter);
    conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"}));
    EXPECT_TRUE(IsDict(DictItem(plist_array_get_item(conv.last().get(), 2), "3/1/0")));
    if (finish) {
      conv.One(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Contacts"}));
    } else {
      conv.session().Abort();  // the host went away: the changes stay pending
    }
  }
  Conversation after(dir.path());
  after.Open("com.apple.Contacts", 106);
  after.One(Msg({"SDMessageGetChangesFromDevice", "com.apple.Contacts"}));
  EXPECT_EQ(StringValue(plist_array_get_item(after.last().get(), 2)), kEmptyParameter);
}

TEST(SyncCancel, CancelledChangesAreDroppedAndFinishIsIgnoredAfterwards) {
  TempDir dir;
  WriteContacts(dir.path());
  Conversation conv(dir.path());
  conv.Open("com.apple.Contacts", 106);
  Plist records = NewDict();
  SetString(records.get(), "1", kEmptyParameter);
  conv.One(Push("com.apple.Contacts", std::move(records)));
  EXPECT_TRUE(conv.Send(Msg({"SDMessageCancelSession", "com.apple.Contacts", "changed my mind"})).empty());
  EXPECT_TRUE(conv.Send(Msg({"SDMessageFinishSessionOnDevice", "com.apple.Contacts"})).empty());
  EXPECT_EQ(plist_dict_get_size(StoredRecords(dir.path(), "com.apple.Contacts").get()), 2u);
}

TEST(SyncRemaps, ModifiedRecordsAreEchoedOnlyWhenTheSettingAsksForIt) {
  TempDir dir;
  WriteContacts(dir.path());
  for (bool echo : {false, true}) {
    SyncSettings settings;
    settings.echo_modified_remaps = echo;
    Conversation conv(dir.path(), settings);
    conv.Open("com.apple.Contacts", 106);
    Plist records = NewDict();
    SetNode(records.get(), "1", Record("com.apple.contacts.Contact", {{"first name", "Anna"}}));
    ASSERT_EQ(conv.One(Push("com.apple.Contacts", std::move(records))), "SDMessageRemapRecordIdentifiers");
    if (echo) {
      EXPECT_EQ(DictString(RemapOf(conv.last()), "1"), "1");
    } else {
      EXPECT_EQ(StringValue(RemapOf(conv.last())), kEmptyParameter);
    }
  }
}

TEST(SyncCloud, CloudClassesSendNoRecords) {
  TempDir dir;
  WriteContacts(dir.path());
  Conversation conv(dir.path(), {}, {"Contacts"});
  conv.Open("com.apple.Contacts", 106);
  size_t records = 0;
  conv.One(Msg({"SDMessageGetAllRecordsFromDevice", "com.apple.Contacts"}));
  for (;;) {
    plist_t r = plist_array_get_item(conv.last().get(), 2);
    records += IsDict(r) ? plist_dict_get_size(r) : 0;
    if (!More(conv.last())) break;
    conv.One(Msg({"SDMessageAcknowledgeChangesFromDevice", "com.apple.Contacts"}));
  }
  EXPECT_EQ(records, 0u);
}

TEST(SyncBadInput, MalformedMessagesNeverCrashAndPushesAlwaysGetOneReply) {
  TempDir dir;
  WriteContacts(dir.path());
  Conversation conv(dir.path());
  conv.Open("com.apple.Contacts", 106);
  // Messages for another class, or without a class, are not this conversation's.
  EXPECT_TRUE(conv.Send(Msg({"SDMessageGetAllRecordsFromDevice", "com.apple.Notes"})).empty());
  EXPECT_TRUE(conv.Send(Msg({"SDMessageGetAllRecordsFromDevice"})).empty());
  // A push whose records are not a dictionary, or are of another class's entities.
  Plist not_dict = Msg({"SDMessageProcessChanges", "com.apple.Contacts"});
  plist_array_append_item(not_dict.get(), plist_new_uint(5));
  EXPECT_EQ(conv.One(not_dict), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(conv.One(Msg({"SDMessageProcessChanges", "com.apple.Contacts"})), "SDMessageRemapRecordIdentifiers");
  Plist foreign = NewDict();
  SetNode(foreign.get(), "n1", Record("com.apple.notes.Note", {{"content", "x"}}));
  SetNode(foreign.get(), "", Record("com.apple.contacts.Contact", {}));
  SetNode(foreign.get(), std::string(2000, 'x').c_str(), Record("com.apple.contacts.Contact", {}));
  Plist orphan = Record("com.apple.contacts.Phone Number", {{"value", "1"}});
  SetNode(foreign.get(), "p1", std::move(orphan));  // no contact: it cannot get an identifier
  Plist stray = Record("com.apple.contacts.Phone Number", {{"value", "2"}});
  SetNode(stray.get(), "contact", Ids({"404"}));
  SetNode(foreign.get(), "p2", std::move(stray));  // names a contact the device lacks
  EXPECT_EQ(conv.One(Push("com.apple.Contacts", std::move(foreign))), "SDMessageRemapRecordIdentifiers");
  EXPECT_EQ(StringValue(RemapOf(conv.last())), kEmptyParameter);
  // Not a DeviceLink message at all: the link ends.
  Plist dict = NewDict();
  EXPECT_TRUE(conv.Send(dict).empty());
  EXPECT_TRUE(conv.closed());
}

}  // namespace
}  // namespace devsim
