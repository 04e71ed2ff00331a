// Contacts: records to JSON, the read's messages, and the write conversations.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <algorithm>

#include "common/text_convert.h"
#include "fake_sync_device.h"
#include "scoped_time_zone.h"
#include "utility/module/contact/contact_operations.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/vado_module.h"

namespace {

using Names = std::vector<std::string>;

std::string Contact(const std::string& id, const std::string& first) {
  return "<key>" + id + "</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
         "<string>com.apple.contacts.Contact</string><key>first name</key><string>" + first +
         "</string></dict>";
}

std::string Phone(const std::string& id, const std::string& owner, const std::string& number) {
  return "<key>" + id + "</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
         "<string>com.apple.contacts.Phone Number</string><key>contact</key><array><string>" +
         owner + "</string></array><key>type</key><string>mobile</string><key>value</key><string>" +
         number + "</string></dict>";
}

rapidjson::Document Json(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}

PlistValue Decoded(const std::string& batch_dict) {
  return DecodeXml(BatchXml("com.apple.Contacts", batch_dict, false));
}

TEST(ContactBook, ContactKeepsTextDateAndIntegerFieldsInKeyOrder) {
  ScopedTimeZone zone("XXX-1");
  ContactBook book;
  book.AddReply(Decoded(
      "<dict><key>7</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
      "<string>com.apple.contacts.Contact</string><key>birthday</key><date>1980-02-29T00:00:00Z</date>"
      "<key>notes</key><string>1980-02-29</string><key>rank</key><integer>-12</integer>"
      "<key>ImageChanged</key><true/><key>list</key><array><string>a</string></array>"
      "</dict></dict>"));
  ASSERT_EQ(book.contacts().size(), 1u);
  EXPECT_EQ(book.ContactsJson(0, 1),
            "{\"7\":{\"birthday\":\"1980-02-29 01:00:00\","
            "\"com.apple.syncservices.RecordEntityName\":\"com.apple.contacts.Contact\","
            "\"notes\":\"1980-02-29\",\"rank\":\"-12\"}}");
}

TEST(ContactBook, ChildrenHangUnderTheirContactByEntity) {
  ContactBook book;
  book.AddReply(Decoded("<dict>" + Contact("1", "Ann") + Contact("2", "Bo") + "</dict>"));
  book.AddReply(Decoded("<dict>" + Phone("3/1/0", "1", "+1 555") + Phone("3/1/1", "1", "+1 556") +
                        Phone("3/9/0", "9", "lost") +
                        "<key>4/2/0</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
                        "<string>com.apple.contacts.Email Address</string><key>contact</key>"
                        "<array><string>2</string></array><key>value</key><string>bo@x</string></dict>"
                        "<key>5/x</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
                        "<string>com.apple.contacts.URL</string><key>value</key><string>u</string></dict>"
                        "</dict>"));
  rapidjson::Document doc = Json(book.ContactsJson(0, 10));
  const auto& phones = doc["1"]["com.apple.contacts.Phone Number"];
  ASSERT_EQ(phones.Size(), 2u);
  EXPECT_STREQ(phones[0]["id"].GetString(), "3/1/0");
  EXPECT_STREQ(phones[0].MemberBegin()->name.GetString(), "id");
  EXPECT_STREQ(phones[1]["value"].GetString(), "+1 556");
  EXPECT_FALSE(phones[0].HasMember("contact"));
  EXPECT_STREQ(doc["2"]["com.apple.contacts.Email Address"][0]["value"].GetString(), "bo@x");
  EXPECT_FALSE(doc["2"].HasMember("com.apple.contacts.URL"));
  EXPECT_EQ(book.contacts().size(), 2u);
}

TEST(ContactBook, ChildBeforeItsContactIsDropped) {
  ContactBook book;
  // In one batch "3/45/0" sorts before "45", so the number finds no contact yet.
  book.AddReply(Decoded("<dict>" + Phone("3/45/0", "45", "+1") + Contact("45", "Late") + "</dict>"));
  rapidjson::Document doc = Json(book.ContactsJson(0, 1));
  EXPECT_FALSE(doc["45"].HasMember("com.apple.contacts.Phone Number"));
}

TEST(ContactBook, GroupKeepsTextsAndMemberTexts) {
  ContactBook book;
  book.AddReply(Decoded(
      "<dict><key>Group/3</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
      "<string>com.apple.contacts.Group</string><key>members</key><array><string>1</string>"
      "<integer>5</integer><string>Group/5</string></array><key>name</key><string>Family</string>"
      "<key>size</key><integer>2</integer></dict></dict>"));
  EXPECT_EQ(book.GroupsJson(0, 1),
            "{\"Group/3\":{\"com.apple.syncservices.RecordEntityName\":\"com.apple.contacts.Group\","
            "\"members\":[\"1\",\"Group/5\"],\"name\":\"Family\"}}");
}

TEST(ContactRead, TwoHundredFiftyContactsGoOutAsHundredHundredFifty) {
  FakeSyncDevice device;
  std::string contacts = "<dict>", phones = "<dict>";
  for (int i = 1000; i < 1250; ++i) {
    contacts += Contact(std::to_string(i), "N" + std::to_string(i));
    phones += Phone("3/" + std::to_string(i) + "/0", std::to_string(i), "+1");
  }
  device.batches = {contacts + "</dict>", "<dict/>", phones + "</dict>"};
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  ReadContacts(session, context);
  device.Stop();
  std::vector<SyncDataMessage> out = ContactReadMessages(context.book, false);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].command_id, 101u);
  EXPECT_EQ(out[0].stage, 0);
  EXPECT_EQ(out[0].info, "{\"Count\":0}");
  EXPECT_EQ(out[1].command_id, 100u);
  EXPECT_EQ(out[1].info, "{\"Count\":250}");
  size_t sizes[] = {100, 100, 50};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out[2 + i].stage, 1);
    EXPECT_EQ(out[2 + i].info, "{\"Count\":250}");
    rapidjson::Document doc = Json(out[2 + i].body);
    EXPECT_EQ(doc.MemberCount(), sizes[i]);
    for (const auto& member : doc.GetObject()) {
      EXPECT_EQ(member.value["com.apple.contacts.Phone Number"].Size(), 1u);
    }
  }
}

TEST(ContactRead, EmptyDeviceKeptElsewhereCountsMinusOne) {
  ContactBook empty;
  std::vector<SyncDataMessage> out = ContactReadMessages(empty, true);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].info, "{\"Count\":0}");
  EXPECT_EQ(out[1].info, "{\"Count\":-1}");
  EXPECT_EQ(ContactReadMessages(empty, false)[1].info, "{\"Count\":0}");
}

std::string PhonePush(const std::string& contact_id) {
  return PlistXmlWriter()
      .BeginArray().String("SDMessageProcessChanges").String("com.apple.Contacts")
      .BeginDict().Key("3/" + contact_id + "/0").BeginDict()
      .Key("com.apple.syncservices.RecordEntityName").String("com.apple.contacts.Phone Number")
      .Key("contact").BeginArray().String(contact_id).EndArray()
      .Key("label").String("owner " + contact_id).Key("value").String("+1 555")
      .EndDict().EndDict().EndArray().Finish();
}

std::string ContactPush(const std::string& id) {
  return PlistXmlWriter()
      .BeginArray().String("SDMessageProcessChanges").String("com.apple.Contacts")
      .BeginDict().Key(id).BeginDict()
      .Key("com.apple.syncservices.RecordEntityName").String("com.apple.contacts.Contact")
      .Key("first name").String("Zed").EndDict().EndDict().EndArray().Finish();
}

rapidjson::Document Payload(std::initializer_list<std::pair<const char*, std::string>> members) {
  rapidjson::Document doc(rapidjson::kObjectType);
  for (const auto& [name, text] : members) {
    doc.AddMember(rapidjson::Value(name, doc.GetAllocator()),
                  rapidjson::Value(text.c_str(), doc.GetAllocator()), doc.GetAllocator());
  }
  return doc;
}

TEST(ContactPushPayload, NeedsAContactTextAndPropertyListsThroughout) {
  EXPECT_FALSE(ParseContactPushPayload(Payload({})));
  EXPECT_FALSE(ParseContactPushPayload(Payload({{"com.apple.contacts.Contact", "not a plist"}})));
  EXPECT_FALSE(ParseContactPushPayload(
      Payload({{"com.apple.contacts.Contact", ContactPush("n1")},
               {"com.apple.contacts.Phone Number", "<plist><array>"}})));
  rapidjson::Document number_member = Payload({{"com.apple.contacts.Contact", ContactPush("n1")}});
  number_member.AddMember("com.apple.contacts.URL", 5, number_member.GetAllocator());
  EXPECT_FALSE(ParseContactPushPayload(number_member));
  auto ok = ParseContactPushPayload(Payload({{"com.apple.contacts.Contact", ContactPush("n1")},
                                             {"unrelated", "x"}}));
  ASSERT_TRUE(ok);
  EXPECT_FALSE(ok->texts[1]);
}

TEST(ContactAddOrEdit, DeviceIdentifierIsThreadedIntoChildPushes) {
  const std::string old_id = "new.*(1)";  // pattern characters must not matter
  FakeSyncDevice device;
  device.change_batches = 2;
  device.assign = [](const std::string& id) { return id.rfind("3/", 0) == 0 ? "3/77/0" : "77"; };
  device.Start();
  auto payload = ParseContactPushPayload(
      Payload({{"com.apple.contacts.Contact", ContactPush(old_id)},
               {"com.apple.contacts.Phone Number", PhonePush(old_id)}}));
  ASSERT_TRUE(payload);
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(AddOrEditContact(session, *payload, context), kResultOk);
  device.Stop();
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetChangesFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "DLMessagePing", "SDMessageProcessChanges", "SDMessageProcessChanges",
                   "SDMessageFinishSessionOnDevice"}));
  const PlistValue phone = device.received()[6];
  const CIOSDictionary* records = phone.array()[2].dictionary();
  ASSERT_NE(records, nullptr);
  // Only the reference to the contact changes; the child's own key and its other values
  // stay as the front end wrote them, even where they contain the old identifier.
  const PlistValue* record = records->Find("3/" + old_id + "/0");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Utf16ToUtf8(record->dictionary()->Find("label")->text()), "owner " + old_id);
  EXPECT_EQ(Utf16ToUtf8(record->dictionary()->Find("contact")->array()[0].text()), "77");
  EXPECT_EQ(ElementText(device.received()[4], 1), "com.apple.Contacts");
  EXPECT_EQ(ContactRemapReplyJson(context),
            "{\"com.apple.contacts.Contact\":{\"new.*(1)\":\"77\"},"
            "\"com.apple.contacts.Phone Number\":{\"3/new.*(1)/0\":\"3/77/0\"}}");
}

TEST(ContactAddOrEdit, OnlyTheContactReportsOnlyItsTable) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.Start();
  auto payload = ParseContactPushPayload(Payload({{"com.apple.contacts.Contact", ContactPush("c9")}}));
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(AddOrEditContact(session, *payload, context), kResultOk);
  device.Stop();
  EXPECT_EQ(ContactRemapReplyJson(context), "{\"com.apple.contacts.Contact\":{\"c9\":\"dev-c9\"}}");
}

TEST(ContactAddOrEdit, NoRemappingIsCode28WithoutFinish) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageDeviceReadyToReceiveChanges")
                .String("com.apple.Contacts").EndArray().Finish()};
  };
  device.Start();
  auto payload = ParseContactPushPayload(
      Payload({{"com.apple.contacts.Contact", ContactPush("c9")},
               {"com.apple.contacts.Phone Number", PhonePush("c9")}}));
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(AddOrEditContact(session, *payload, context), kContactNotAssigned);
  device.Stop();
  Names names = device.names();
  EXPECT_EQ(names.back(), "SDMessageProcessChanges");
  EXPECT_EQ(std::count(names.begin(), names.end(), "SDMessageProcessChanges"), 1);
}

TEST(ContactAddOrEdit, DeviceCancellingThePushIsAFailureWithoutFinish) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageCancelSession")
                .String("com.apple.Contacts").String("no").EndArray().Finish()};
  };
  device.Start();
  auto payload = ParseContactPushPayload(
      Payload({{"com.apple.contacts.Contact", ContactPush("c9")},
               {"com.apple.contacts.Phone Number", PhonePush("c9")}}));
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(AddOrEditContact(session, *payload, context), kResultSyncBrokenOff);
  device.Stop();
  Names names = device.names();
  EXPECT_EQ(names.back(), "SDMessageProcessChanges");
  EXPECT_EQ(std::count(names.begin(), names.end(), "SDMessageProcessChanges"), 1);
}

TEST(ContactAddOrEdit, EditOfAnExistingContactKeepsItsIdentifier) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageRemapRecordIdentifiers")
                .String("com.apple.Contacts").String("___EmptyParameterString___").EndArray().Finish()};
  };
  device.Start();
  auto payload = ParseContactPushPayload(
      Payload({{"com.apple.contacts.Contact", ContactPush("41")},
               {"com.apple.contacts.Phone Number", PhonePush("41")}}));
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(AddOrEditContact(session, *payload, context), kResultOk);
  device.Stop();
  Names names = device.names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "SDMessageProcessChanges"), 2);
  EXPECT_EQ(names.back(), "SDMessageFinishSessionOnDevice");
  EXPECT_EQ(ContactRemapReplyJson(context), "{\"com.apple.contacts.Contact\":{\"41\":\"41\"}}");
}

TEST(ContactDelete, AcknowledgesTwiceThenPushesTheDeletion) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  EXPECT_EQ(DeleteContactRecord(session, "12", context), kResultOk);
  device.Stop();
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetChangesFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "SDMessageAcknowledgeChangesFromDevice", "DLMessagePing",
                   "SDMessageProcessChanges", "SDMessageFinishSessionOnDevice"}));
  const PlistValue push = device.received()[6];
  ASSERT_EQ(push.array().size(), 3u);
  EXPECT_EQ(Utf16ToUtf8(push.array()[2].dictionary()->Find("12")->text()),
            "___EmptyParameterString___");
}

TEST(ContactGroup, CreateReportsTheDeviceGroupIdentifier) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.assign = [](const std::string&) { return "Group/31"; };
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  GroupWrite write{"g1", "g1", "Family", std::nullopt};
  EXPECT_EQ(WriteGroup(session, write, context), kResultOk);
  device.Stop();
  EXPECT_EQ(GroupReplyJson("g1", context.group_result, "Family"), "{\"g1\":[\"Group/31\",\"Family\"]}");
  const PlistValue push = device.received()[6];
  ASSERT_EQ(push.array().size(), 5u);
  const CIOSDictionary* record = push.array()[2].dictionary()->Find("Group/g1")->dictionary();
  EXPECT_EQ(Utf16ToUtf8(record->Find("name")->text()), "Family");
  EXPECT_EQ(record->Find("members"), nullptr);
  EXPECT_EQ(push.array()[3].boolean(), -1);
  EXPECT_EQ(push.array()[4].dictionary()->Find("SyncDeviceLinkEntityNamesKey")->array().size(), 2u);
}

TEST(ContactGroup, SetMembersLooksUpTheGuid) {
  FakeSyncDevice device;
  device.change_batches = 2;
  device.Start();
  SyncSession session(device.connection(), kContactsClass);
  ContactSyncContext context;
  GroupWrite write{"5", "other", "Team", std::vector<std::string>{"1", "2"}};
  EXPECT_EQ(WriteGroup(session, write, context), kContactGroupNotAssigned);
  device.Stop();
  const CIOSDictionary* record =
      device.received()[6].array()[2].dictionary()->Find("Group/5")->dictionary();
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->Find("members")->array().size(), 2u);
  EXPECT_EQ(Utf16ToUtf8(record->Find("members")->array()[1].text()), "2");
}

}  // namespace

