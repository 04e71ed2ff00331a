// com.apple.mobilesync on a running simulator, driven by libimobiledevice's own mobilesync
// client: pulls, pushes, deletions, clearing, persistence in the farm, and the faults that
// cut a conversation short.
#include <gtest/gtest.h>

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/mobilesync.h>

#include <set>

#include "farm/file_util.h"
#include "sim_harness.h"
#include "services/sync/sync_classes.h"
#include "services/sync/sync_store.h"

namespace devsim::testing {
namespace {

// libimobiledevice 1.3.0 accepts DeviceLink 300 at most, which devices before iOS 14 offer.
DeviceSpec OldPhone(uint64_t seed) {
  DeviceSpec s;
  s.seed = seed;
  s.media_files = 0;
  s.product_version = "13.7";
  return s;
}

class SyncClient {
 public:
  explicit SyncClient(const std::string& udid) {
    if (idevice_new_with_options(&device_, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
      device_ = nullptr;
      return;
    }
    error_ = mobilesync_client_start_service(device_, &client_, "devsim-test");
    if (error_ != MOBILESYNC_E_SUCCESS) client_ = nullptr;
  }
  ~SyncClient() {
    // A class still open is cancelled (also freeing the name the client library keeps for
    // it); after a finish this does nothing.
    if (client_) mobilesync_cancel(client_, "test over");
    if (client_) mobilesync_client_free(client_);
    if (device_) idevice_free(device_);
  }
  mobilesync_client_t get() const { return client_; }
  mobilesync_error_t error() const { return error_; }

  // Opens a class with no anchor of the device's; returns the sync type.
  mobilesync_error_t Start(const char* cls, uint64_t version, mobilesync_sync_type_t* type,
                           const char* device_anchor = nullptr, uint64_t* device_version = nullptr) {
    mobilesync_anchors_t anchors = mobilesync_anchors_new(device_anchor, "2024-03-09 14:05:07 +0800");
    char* reason = nullptr;
    uint64_t dv = 0;
    mobilesync_error_t e = mobilesync_start(client_, cls, anchors, version, type, &dv, &reason);
    mobilesync_anchors_free(anchors);
    free(reason);
    if (device_version) *device_version = dv;
    return e;
  }

 private:
  idevice_t device_ = nullptr;
  mobilesync_client_t client_ = nullptr;
  mobilesync_error_t error_ = MOBILESYNC_E_UNKNOWN_ERROR;
};

struct Pulled {
  std::vector<Plist> batches;  // the records element of each batch
  Plist records = NewDict();   // all of them
  std::vector<std::string> order;  // record ids in the order they arrived
  mobilesync_error_t error = MOBILESYNC_E_SUCCESS;
};

// Receives batches, acknowledging each, until the one without "more".
Pulled ReceiveAll(mobilesync_client_t c) {
  Pulled p;
  for (int guard = 0; guard < 10000; ++guard) {
    plist_t entities = nullptr;
    plist_t actions = nullptr;
    uint8_t last = 0;
    p.error = mobilesync_receive_changes(c, &entities, &last, &actions);
    if (p.error != MOBILESYNC_E_SUCCESS) return p;
    Plist owned(entities);
    Plist owned_actions(actions);
    for (const std::string& id : DictKeys(entities)) {
      p.order.push_back(id);
      plist_dict_set_item(p.records.get(), id.c_str(), plist_copy(plist_dict_get_item(entities, id.c_str())));
    }
    p.batches.push_back(std::move(owned));
    p.error = mobilesync_acknowledge_changes_from_device(c);
    if (p.error != MOBILESYNC_E_SUCCESS || last) return p;
  }
  return p;
}

Plist StoreFile(const SimHarness& sim, const std::string& udid, const char* cls) {
  return ReadPlistFile(sim.farm_dir() / "devices" / udid / "sync" / (std::string(cls) + ".plist"));
}

plist_t StoredRecords(const Plist& file) { return DictItem(file.get(), "Records"); }

std::string Entity(plist_t record) { return DictString(record, kEntityKey).value_or(""); }

Plist Contact(const char* first, const char* last) {
  Plist c = NewDict();
  SetString(c.get(), kEntityKey, entity::kContact);
  SetString(c.get(), "first name", first);
  SetString(c.get(), "last name", last);
  return c;
}

Plist Phone(const std::string& contact, const char* number) {
  Plist p = NewDict();
  SetString(p.get(), kEntityKey, entity::kPhone);
  SetString(p.get(), "value", number);
  SetString(p.get(), "type", "mobile");
  Plist owner = NewArray();
  plist_array_append_item(owner.get(), plist_new_string(contact.c_str()));
  SetNode(p.get(), "contact", std::move(owner));
  return p;
}

// Pulls everything, then becomes ready to send.
void PullAndTurn(mobilesync_client_t c) {
  ASSERT_EQ(mobilesync_get_all_records_from_device(c), MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(ReceiveAll(c).error, MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(mobilesync_ready_to_send_changes_from_computer(c), MOBILESYNC_E_SUCCESS);
}

TEST(MkFarmSync, ContentClassesAndBatchOptionsShapeTheDevice) {
  SimHarness sim;
  fs::path farm = sim.dir() / "cli-farm";
  ToolResult made = sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--contacts", "3", "--notes", "2",
                             "--icloud", "Notes,Bookmarks", "--sync-batch", "7", "--seed", "9"});
  ASSERT_EQ(made.status, 0) << made.err;
  std::string udid = made.out.substr(0, made.out.find('\n'));
  fs::path dev = farm / "devices" / udid;
  Plist contacts = ReadPlistFile(dev / "sync" / "com.apple.Contacts.plist");
  size_t people = 0;
  for (const std::string& id : DictKeys(StoredRecords(contacts))) {
    people += Entity(DictItem(StoredRecords(contacts), id.c_str())) == entity::kContact;
  }
  EXPECT_EQ(people, 3u);
  EXPECT_EQ(DictUint(ReadPlistFile(dev / "sync" / "settings.plist").get(), "BatchSize"), 7u);
  Plist values = ReadPlistFile(dev / "values.plist");
  plist_t data_sync = DictItem(DictItem(values.get(), "Domains"), "com.apple.mobile.data_sync");
  EXPECT_EQ(plist_array_get_size(DictItem(DictItem(data_sync, "Notes"), "AccountNames")), 1u);
  EXPECT_EQ(plist_array_get_size(DictItem(DictItem(data_sync, "Contacts"), "AccountNames")), 0u);
  EXPECT_EQ(sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--icloud", "Mail"}).status, 2);
  EXPECT_EQ(sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--contacts", "50001"}).status, 2);
  EXPECT_EQ(sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--notes", "-1"}).status, 2);
}

TEST(MobileSyncPull, ContactsArriveInBatchesWithParentsBeforeTheirValues) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(21);
  farm_device.sync.contacts = 25;
  farm_device.sync.groups = 3;
  farm_device.sync_batch = 10;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  SyncClient client(udid);
  ASSERT_EQ(client.error(), MOBILESYNC_E_SUCCESS);
  mobilesync_sync_type_t type{};
  uint64_t device_version = 0;
  ASSERT_EQ(client.Start("com.apple.Contacts", 106, &type, nullptr, &device_version), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(type, MOBILESYNC_SYNC_TYPE_RESET);  // never synced before
  EXPECT_EQ(device_version, 106u);
  ASSERT_EQ(mobilesync_get_all_records_from_device(client.get()), MOBILESYNC_E_SUCCESS);
  Pulled p = ReceiveAll(client.get());
  ASSERT_EQ(p.error, MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(mobilesync_ready_to_send_changes_from_computer(client.get()), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(mobilesync_finish(client.get()), MOBILESYNC_E_SUCCESS);

  Plist file = StoreFile(sim, udid, "com.apple.Contacts");
  plist_t stored = StoredRecords(file);
  ASSERT_EQ(plist_dict_get_size(p.records.get()), plist_dict_get_size(stored));
  for (const std::string& id : DictKeys(stored)) {
    plist_t got = plist_dict_get_item(p.records.get(), id.c_str());
    ASSERT_TRUE(got) << id;
    EXPECT_EQ(ToXml(got), ToXml(plist_dict_get_item(stored, id.c_str()))) << id;
  }
  // 25 contacts + 3 groups in batches of 10, then one or more batches per value entity.
  ASSERT_GE(p.batches.size(), 3u);
  EXPECT_EQ(plist_dict_get_size(p.batches[0].get()), 10u);
  EXPECT_EQ(plist_dict_get_size(p.batches[1].get()), 10u);
  EXPECT_EQ(plist_dict_get_size(p.batches[2].get()), 8u);
  EXPECT_GE(p.batches.size(), 10u);
  std::set<std::string> seen_contacts;
  for (const std::string& id : p.order) {
    plist_t r = plist_dict_get_item(p.records.get(), id.c_str());
    if (Entity(r) == entity::kContact) {
      seen_contacts.insert(id);
    } else if (plist_t owner = DictItem(r, "contact")) {
      std::string person = StringValue(plist_array_get_item(owner, 0)).value_or("");
      EXPECT_TRUE(seen_contacts.count(person)) << id << " came before its contact";
    }
  }
  EXPECT_EQ(seen_contacts.size(), 25u);
}

TEST(MobileSyncPull, SecondSyncWithTheDeviceAnchorIsFast) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(22);
  farm_device.sync.notes = 3;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  {
    SyncClient client(udid);
    mobilesync_sync_type_t type{};
    ASSERT_EQ(client.Start("com.apple.Notes", 102, &type), MOBILESYNC_E_SUCCESS);
    PullAndTurn(client.get());
    ASSERT_EQ(mobilesync_finish(client.get()), MOBILESYNC_E_SUCCESS);
  }
  fs::path notes = sim.farm_dir() / "devices" / udid / "sync" / "com.apple.Notes.plist";
  std::string anchor =
      DictString(ReadPlistFile(SyncStore::StateFile(notes)).get(), "DeviceAnchor").value_or("");
  ASSERT_FALSE(anchor.empty());
  SyncClient again(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(again.Start("com.apple.Notes", 102, &type, anchor.c_str()), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(type, MOBILESYNC_SYNC_TYPE_FAST);
  ASSERT_EQ(mobilesync_cancel(again.get(), "enough"), MOBILESYNC_E_SUCCESS);
  SyncClient third(udid);
  ASSERT_EQ(third.Start("com.apple.Notes", 102, &type, "some other anchor"), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(type, MOBILESYNC_SYNC_TYPE_SLOW);
}

TEST(MobileSyncPush, NewContactAndItsNumberGetDeviceIdentifiersAndPersist) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(23);
  farm_device.sync.contacts = 4;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  std::string contact_id, phone_id;
  {
    SyncClient client(udid);
    mobilesync_sync_type_t type{};
    ASSERT_EQ(client.Start("com.apple.Contacts", 106, &type), MOBILESYNC_E_SUCCESS);
    PullAndTurn(client.get());
    Plist push = NewDict();
    SetNode(push.get(), "host-contact", Contact("Ann", "Lee"));
    SetNode(push.get(), "host-phone", Phone("host-contact", "+1 555 0100"));
    ASSERT_EQ(mobilesync_send_changes(client.get(), push.get(), 1, nullptr), MOBILESYNC_E_SUCCESS);
    plist_t mapping = nullptr;
    ASSERT_EQ(mobilesync_remap_identifiers(client.get(), &mapping), MOBILESYNC_E_SUCCESS);
    Plist map(mapping);
    contact_id = DictString(map.get(), "host-contact").value_or("");
    phone_id = DictString(map.get(), "host-phone").value_or("");
    ASSERT_FALSE(contact_id.empty());
    EXPECT_EQ(contact_id.find_first_not_of("0123456789"), std::string::npos) << contact_id;
    EXPECT_EQ(phone_id, "3/" + contact_id + "/0");
    ASSERT_EQ(mobilesync_finish(client.get()), MOBILESYNC_E_SUCCESS);
  }
  Plist file = StoreFile(sim, udid, "com.apple.Contacts");
  plist_t phone = DictItem(StoredRecords(file), phone_id.c_str());
  ASSERT_TRUE(phone);
  EXPECT_EQ(DictString(phone, "value"), "+1 555 0100");
  EXPECT_EQ(StringValue(plist_array_get_item(DictItem(phone, "contact"), 0)), contact_id);

  // The next conversation sees the records among the device's own.
  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(client.Start("com.apple.Contacts", 106, &type), MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(mobilesync_get_all_records_from_device(client.get()), MOBILESYNC_E_SUCCESS);
  Pulled p = ReceiveAll(client.get());
  EXPECT_EQ(DictString(DictItem(p.records.get(), contact_id.c_str()), "first name"), "Ann");
  EXPECT_TRUE(DictItem(p.records.get(), phone_id.c_str()));
}

TEST(MobileSyncPush, DeletingAContactTakesItsValuesAndGroupMembershipAlong) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(24);
  farm_device.sync.contacts = 30;
  farm_device.sync.groups = 4;
  std::string udid = sim.AddDevice(farm_device);
  Plist before = StoreFile(sim, udid, "com.apple.Contacts");
  // A contact that is a member of some group.
  std::string victim;
  for (const std::string& id : DictKeys(StoredRecords(before))) {
    plist_t members = DictItem(DictItem(StoredRecords(before), id.c_str()), "members");
    if (members && plist_array_get_size(members) > 0) {
      auto first = StringValue(plist_array_get_item(members, 0));
      if (first && first->rfind("Group/", 0) != 0) victim = *first;
    }
  }
  ASSERT_FALSE(victim.empty());
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(client.Start("com.apple.Contacts", 106, &type), MOBILESYNC_E_SUCCESS);
  PullAndTurn(client.get());
  Plist push = NewDict();
  SetString(push.get(), victim.c_str(), kEmptyParameter);
  ASSERT_EQ(mobilesync_send_changes(client.get(), push.get(), 1, nullptr), MOBILESYNC_E_SUCCESS);
  plist_t mapping = nullptr;
  ASSERT_EQ(mobilesync_remap_identifiers(client.get(), &mapping), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(mapping, nullptr);  // nothing was created
  plist_free(mapping);
  ASSERT_EQ(mobilesync_finish(client.get()), MOBILESYNC_E_SUCCESS);

  Plist after = StoreFile(sim, udid, "com.apple.Contacts");
  EXPECT_FALSE(DictItem(StoredRecords(after), victim.c_str()));
  for (const std::string& id : DictKeys(StoredRecords(after))) {
    plist_t r = DictItem(StoredRecords(after), id.c_str());
    for (const char* field : {"contact", "members"}) {
      plist_t refs = DictItem(r, field);
      for (uint32_t i = 0; refs && i < plist_array_get_size(refs); ++i) {
        EXPECT_NE(StringValue(plist_array_get_item(refs, i)), victim) << id << " still names it";
      }
    }
  }
}

TEST(MobileSyncPush, ClearingAllRecordsEmptiesTheClass) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(25);
  farm_device.sync.bookmarks = 12;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(client.Start("com.apple.Bookmarks", 106, &type), MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(mobilesync_clear_all_records_on_device(client.get()), MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(mobilesync_finish(client.get()), MOBILESYNC_E_SUCCESS);
  EXPECT_EQ(plist_dict_get_size(StoredRecords(StoreFile(sim, udid, "com.apple.Bookmarks"))), 0u);
}

TEST(MobileSyncLockdown, ClassesInICloudListTheAccountAndSendNoRecords) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(26);
  farm_device.sync.contacts = 5;
  farm_device.sync.notes = 5;
  farm_device.icloud_classes = {"Contacts"};
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  ToolResult info = sim.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.mobile.data_sync", "-x"});
  ASSERT_EQ(info.status, 0) << info.err;
  Plist domain = ParsePlist(info.out);
  EXPECT_EQ(plist_array_get_size(DictItem(DictItem(domain.get(), "Contacts"), "AccountNames")), 1u);
  EXPECT_EQ(plist_array_get_size(DictItem(DictItem(domain.get(), "Notes"), "AccountNames")), 0u);

  sim.ExportSocket();
  for (auto [cls, expected] : {std::pair{"com.apple.Contacts", 0u}, std::pair{"com.apple.Notes", 5u}}) {
    SyncClient client(udid);
    mobilesync_sync_type_t type{};
    ASSERT_EQ(client.Start(cls, 106, &type), MOBILESYNC_E_SUCCESS);
    ASSERT_EQ(mobilesync_get_all_records_from_device(client.get()), MOBILESYNC_E_SUCCESS);
    Pulled p = ReceiveAll(client.get());
    EXPECT_EQ(plist_dict_get_size(p.records.get()), expected) << cls;
  }
}

TEST(MobileSyncLockdown, TetheredSyncTurnedOffRefusesTheClass) {
  SimHarness sim;
  std::string udid = sim.AddDevice(OldPhone(27));
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  idevice_t dev = nullptr;
  ASSERT_EQ(idevice_new_with_options(&dev, udid.c_str(), IDEVICE_LOOKUP_USBMUX), IDEVICE_E_SUCCESS);
  lockdownd_client_t ld = nullptr;
  ASSERT_EQ(lockdownd_client_new_with_handshake(dev, &ld, "devsim-test"), LOCKDOWN_E_SUCCESS);
  Plist off = NewDict();
  SetBool(off.get(), "DisableTethered", true);
  SetString(off.get(), "SyncingOS", "");
  EXPECT_EQ(lockdownd_set_value(ld, "com.apple.mobile.tethered_sync", "Calendars", off.release()),
            LOCKDOWN_E_SUCCESS);
  lockdownd_client_free(ld);
  idevice_free(dev);

  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  EXPECT_EQ(client.Start("com.apple.Calendars", 110, &type), MOBILESYNC_E_SYNC_REFUSED);
}

TEST(MobileSyncFaults, CutConversationLosesTheUnfinishedPush) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(28);
  farm_device.sync.notes = 2;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  // Version offer, ready, class answer, one batch, ready to receive: the remap never comes.
  ASSERT_EQ(sim.Control({"fault", udid, "sync-cut", "5"}).status, 0);
  sim.ExportSocket();
  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(client.Start("com.apple.Notes", 102, &type), MOBILESYNC_E_SUCCESS);
  PullAndTurn(client.get());
  Plist note = NewDict();
  SetString(note.get(), kEntityKey, entity::kNote);
  SetString(note.get(), "subject", "lost");
  Plist push = NewDict();
  SetNode(push.get(), "note-1", std::move(note));
  mobilesync_send_changes(client.get(), push.get(), 1, nullptr);
  plist_t mapping = nullptr;
  EXPECT_NE(mobilesync_remap_identifiers(client.get(), &mapping), MOBILESYNC_E_SUCCESS);
  plist_free(mapping);
  Plist file = StoreFile(sim, udid, "com.apple.Notes");
  EXPECT_EQ(plist_dict_get_size(StoredRecords(file)), 2u);
}

TEST(MobileSyncFaults, CancelFaultEndsThePullWithCancelSession) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(29);
  farm_device.sync.contacts = 3;
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  ASSERT_EQ(sim.Control({"fault", udid, "sync-cancel", "4"}).status, 0);
  sim.ExportSocket();
  SyncClient client(udid);
  mobilesync_sync_type_t type{};
  ASSERT_EQ(client.Start("com.apple.Contacts", 106, &type), MOBILESYNC_E_SUCCESS);
  ASSERT_EQ(mobilesync_get_all_records_from_device(client.get()), MOBILESYNC_E_SUCCESS);
  Pulled p = ReceiveAll(client.get());
  EXPECT_EQ(p.error, MOBILESYNC_E_CANCELLED);
  EXPECT_EQ(p.batches.size(), 1u);
  // Cleared, the next conversation runs to the end.
  ASSERT_EQ(sim.Control({"fault", udid, "clear"}).status, 0);
  SyncClient next(udid);
  ASSERT_EQ(next.Start("com.apple.Contacts", 106, &type), MOBILESYNC_E_SUCCESS);
  PullAndTurn(next.get());
  EXPECT_EQ(mobilesync_finish(next.get()), MOBILESYNC_E_SUCCESS);
}

TEST(MobileSyncVersion, ModernDeviceOffersDeviceLink400UnlessTheFarmSaysOtherwise) {
  SimHarness sim;
  DeviceSpec farm_device = OldPhone(30);
  farm_device.product_version = "17.5.1";
  std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  {
    SyncClient client(udid);
    EXPECT_EQ(client.error(), MOBILESYNC_E_BAD_VERSION);
  }
  Plist settings = NewDict();
  Plist version = NewArray();
  plist_array_append_item(version.get(), plist_new_uint(300));
  plist_array_append_item(version.get(), plist_new_uint(100));
  SetNode(settings.get(), "DeviceLinkVersion", std::move(version));
  ASSERT_TRUE(WritePlistFile(sim.farm_dir() / "devices" / udid / "sync" / "settings.plist", settings.get()));
  SyncClient client(udid);
  EXPECT_EQ(client.error(), MOBILESYNC_E_SUCCESS);
}

}  // namespace
}  // namespace devsim::testing
