// Calendars: the record tree, the read's messages, and the write conversations.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "common/text_convert.h"
#include "fake_sync_device.h"
#include "scoped_time_zone.h"
#include "utility/module/calendar/calendar_operations.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/vado_module.h"

namespace {

using Names = std::vector<std::string>;

rapidjson::Document Json(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}

std::string Record(const std::string& id, const std::string& entity, const std::string& fields) {
  return "<key>" + id + "</key><dict><key>com.apple.syncservices.RecordEntityName</key><string>"
         "com.apple.calendars." + entity + "</string>" + fields + "</dict>";
}

std::string Calendar(const std::string& id, const std::string& colors = "") {
  return Record(id, "Calendar", "<key>title</key><string>T" + id + "</string>"
                "<key>read only</key><integer>1</integer>" + colors);
}

std::string Event(const std::string& id, const std::string& calendar) {
  return Record(id, "Event",
                "<key>calendar</key><array><string>" + calendar + "</string></array>"
                "<key>start date</key><date>2024-03-09T06:05:07Z</date>"
                "<key>end date</key><date>2024-03-09T07:05:07Z</date><key>all day</key><integer>0</integer>"
                "<key>summary</key><string>S" + id + "</string>");
}

std::string Owned(const std::string& id, const std::string& entity, const std::string& owner,
                  const std::string& extra) {
  return Record(id, entity, "<key>owner</key><array><string>" + owner + "</string></array>" + extra);
}

CalendarSet Parse(std::initializer_list<std::string> batches) {
  CalendarSet set;
  for (const std::string& batch : batches) {
    set.AddReply(DecodeXml(BatchXml("com.apple.Calendars", "<dict>" + batch + "</dict>", true)));
  }
  return set;
}

TEST(CalendarSet, EventsCarryRecurrenceAndAlarmsNested) {
  ScopedTimeZone zone("XXX-8");
  CalendarSet set = Parse({Calendar("c1"), Event("e1", "c1") + Event("e2", "c1"),
                           Owned("a1", "DisplayAlarm", "e1",
                                 "<key>triggerduration</key><integer>-900</integer>"
                                 "<key>description</key><string>Soon</string>") +
                               Owned("a2", "DisplayAlarm", "e1", "") +
                               Owned("r0", "Recurrence", "e2", "<key>frequency</key><string>daily</string>") +
                               Owned("r1", "Recurrence", "e2",
                                     "<key>frequency</key><string>weekly</string><key>interval</key>"
                                     "<integer>2</integer><key>until</key><date>2024-12-31T16:00:00Z</date>")});
  rapidjson::Document doc = Json(set.CalendarsJson(0, 20));
  ASSERT_EQ(doc.Size(), 1u);
  const auto& cal = doc[0];
  EXPECT_EQ(cal["read_only"].GetInt(), 1);
  ASSERT_EQ(cal["events"].Size(), 2u);
  const auto& e1 = cal["events"][0];
  EXPECT_STREQ(e1["start_date"].GetString(), "2024-03-09 14:05:07");
  EXPECT_STREQ(e1["start_date_source"].GetString(), "2024-03-09T06:05:07Z");
  EXPECT_FALSE(e1.HasMember("recurrence"));
  ASSERT_EQ(e1["display_alarms"].Size(), 2u);
  EXPECT_EQ(e1["display_alarms"][0]["triggerduration"].GetInt64(), -900);
  EXPECT_STREQ(e1["display_alarms"][0]["description"].GetString(), "Soon");
  const auto& e2 = cal["events"][1];
  EXPECT_EQ(e2["display_alarms"].Size(), 0u);
  // The recurrence parsed last wins.
  EXPECT_STREQ(e2["recurrence"]["id"].GetString(), "r1");
  EXPECT_EQ(e2["recurrence"]["interval"].GetInt64(), 2);
  EXPECT_STREQ(e2["recurrence"]["until"].GetString(), "2025-01-01 00:00:00");
  const char* order[] = {"id", "start_date", "start_date_source", "end_date", "end_date_source",
                         "url", "all_day", "start_date_timezone",
                         "com_apple_syncservices_RecordEntityName", "summary", "description",
                         "location", "recurrence", "display_alarms"};
  int i = 0;
  for (const auto& member : e2.GetObject()) EXPECT_STREQ(member.name.GetString(), order[i++]);
}

TEST(CalendarSet, EventBeforeItsCalendarInOneBatchIsNotListed) {
  CalendarSet set = Parse({Event("a-event", "b-cal") + Calendar("b-cal")});
  rapidjson::Document doc = Json(set.CalendarsJson(0, 20));
  EXPECT_EQ(doc[0]["events"].Size(), 0u);
}

TEST(CalendarSet, ColourTakesUpToFourIntegers) {
  CalendarSet set = Parse({Calendar("c1", "<key>colorComponents</key><array><integer>10</integer>"
                                          "<integer>20</integer><integer>30</integer></array>") +
                           Calendar("c2", "<key>colorComponents</key><array><integer>1</integer>"
                                          "<string>x</string><integer>3</integer><integer>4</integer>"
                                          "<integer>5</integer><integer>6</integer></array>")});
  rapidjson::Document doc = Json(set.CalendarsJson(0, 20));
  const auto& c1 = doc[0]["colorComponents"];
  EXPECT_EQ(c1.Size(), 4u);
  EXPECT_EQ(c1[2].GetInt(), 30);
  EXPECT_EQ(c1[3].GetInt(), 0);
  const auto& c2 = doc[1]["colorComponents"];
  EXPECT_EQ(c2[1].GetInt(), 0);
  EXPECT_EQ(c2[3].GetInt(), 4);
}

TEST(CalendarRead, FortyFiveCalendarsGoOutAsTwentyTwentyFive) {
  FakeSyncDevice device;
  std::string cals, events;
  for (int i = 10; i < 55; ++i) {
    cals += Calendar("c" + std::to_string(i));
    events += Event("e" + std::to_string(i), "c" + std::to_string(i));
  }
  device.batches = {"<dict>" + cals + "</dict>", "<dict>" + events + "</dict>"};
  device.Start();
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  ReadCalendars(session, context);
  device.Stop();
  std::vector<SyncDataMessage> out = CalendarReadMessages(context.set, false);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].info, "{\"Count\":45}");
  size_t sizes[] = {20, 20, 5};
  for (int i = 0; i < 3; ++i) {
    rapidjson::Document doc = Json(out[1 + i].body);
    EXPECT_EQ(doc.Size(), sizes[i]);
    EXPECT_EQ(doc[0]["events"].Size(), 1u);
  }
  EXPECT_EQ(CalendarReadMessages(CalendarSet(), true)[0].info, "{\"Count\":-1}");
}

std::string Push(const std::string& id, const std::string& entity, const std::string& link_key,
                 const std::string& link) {
  PlistXmlWriter xml;
  xml.BeginArray().String("SDMessageProcessChanges").String("com.apple.Calendars").BeginDict()
      .Key(id).BeginDict().Key("com.apple.syncservices.RecordEntityName")
      .String("com.apple.calendars." + entity);
  if (!link_key.empty()) xml.Key(link_key).BeginArray().String(link).EndArray();
  return xml.EndDict().EndDict().EndArray().Finish();
}

rapidjson::Document Payload(std::initializer_list<std::pair<const char*, std::string>> members) {
  rapidjson::Document doc(rapidjson::kObjectType);
  for (const auto& [name, text] : members) {
    doc.AddMember(rapidjson::Value(name, doc.GetAllocator()),
                  rapidjson::Value(text.c_str(), doc.GetAllocator()), doc.GetAllocator());
  }
  return doc;
}

std::string LinkOf(const PlistValue& push, const std::string& id, const char* key) {
  const PlistValue* record = push.array()[2].dictionary()->Find(id);
  if (record == nullptr) return "(no record " + id + ")";
  return Utf16ToUtf8(record->dictionary()->Find(key)->array()[0].text());
}

TEST(CalendarAddOrEdit, IdentifiersAreThreadedThroughEveryPush) {
  FakeSyncDevice device;
  device.Start();
  auto payload = ParseCalendarPushPayload(Payload(
      {{"com.apple.calendars.Calendar", Push("cal+1", "Calendar", "", "")},
       {"com.apple.calendars.Event", Push("ev?1", "Event", "calendar", "cal+1")},
       {"com.apple.calendars.DisplayAlarm", Push("al1", "DisplayAlarm", "owner", "ev?1")},
       {"com.apple.calendars.Recurrence", Push("re1", "Recurrence", "owner", "ev?1")}}));
  ASSERT_TRUE(payload);
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  EXPECT_EQ(AddOrEditCalendar(session, *payload, context), kResultOk);
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 10u);
  EXPECT_EQ(ElementText(sent[4], 1), "Preparing to get changes for device");
  EXPECT_EQ(LinkOf(sent[6], "ev?1", "calendar"), "dev-cal+1");
  EXPECT_EQ(LinkOf(sent[7], "al1", "owner"), "dev-ev?1");
  EXPECT_EQ(LinkOf(sent[8], "re1", "owner"), "dev-ev?1");
  EXPECT_EQ(ElementText(sent[9], 0), "SDMessageFinishSessionOnDevice");
  rapidjson::Document reply = Json(CalendarRemapReplyJson(context));
  EXPECT_STREQ(reply["com.apple.calendars.Event"]["ev?1"].GetString(), "dev-ev?1");
  EXPECT_EQ(reply.MemberCount(), 4u);
}

TEST(CalendarAddOrEdit, CalendarAloneReportsOnlyItsTable) {
  FakeSyncDevice device;
  device.Start();
  auto payload = ParseCalendarPushPayload(Payload({{"com.apple.calendars.Calendar", Push("c", "Calendar", "", "")}}));
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  EXPECT_EQ(AddOrEditCalendar(session, *payload, context), kResultOk);
  device.Stop();
  EXPECT_EQ(CalendarRemapReplyJson(context), "{\"com.apple.calendars.Calendar\":{\"c\":\"dev-c\"}}");
}

TEST(CalendarAddOrEdit, EditWithAnEmptyRemapKeepsIdentifiersAndFinishes) {
  FakeSyncDevice device;
  // The device already has "c7" and "e7": it maps nothing.
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageRemapRecordIdentifiers")
                .String("com.apple.Calendars").String("___EmptyParameterString___").EndArray().Finish()};
  };
  device.Start();
  auto payload = ParseCalendarPushPayload(
      Payload({{"com.apple.calendars.Calendar", Push("c7", "Calendar", "", "")},
               {"com.apple.calendars.Event", Push("e7", "Event", "calendar", "c7")}}));
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  EXPECT_EQ(AddOrEditCalendar(session, *payload, context), kResultOk);
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 8u);
  EXPECT_EQ(LinkOf(sent[6], "e7", "calendar"), "c7");
  EXPECT_EQ(ElementText(sent[7], 0), "SDMessageFinishSessionOnDevice");
  EXPECT_EQ(CalendarRemapReplyJson(context), "{\"com.apple.calendars.Calendar\":{\"c7\":\"c7\"}}");
}

TEST(CalendarAddOrEdit, AnswerThatIsNoRemapIsCode29WithoutFinish) {
  FakeSyncDevice device;
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageDeviceReadyToReceiveChanges")
                .String("com.apple.Calendars").EndArray().Finish()};
  };
  device.Start();
  auto payload = ParseCalendarPushPayload(Payload({{"com.apple.calendars.Calendar", Push("c", "Calendar", "", "")}}));
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  EXPECT_EQ(AddOrEditCalendar(session, *payload, context), kCalendarNotAssigned);
  device.Stop();
  EXPECT_EQ(device.names().back(), "SDMessageProcessChanges");
}

TEST(CalendarAddOrEdit, PayloadWithoutCalendarOrWithBadTextIsRefused) {
  EXPECT_FALSE(ParseCalendarPushPayload(Payload({{"com.apple.calendars.Event", Push("e", "Event", "", "")}})));
  EXPECT_FALSE(ParseCalendarPushPayload(Payload({{"com.apple.calendars.Calendar", Push("c", "Calendar", "", "")},
                                                 {"com.apple.calendars.Recurrence", "<array>"}})));
}

TEST(CalendarDelete, OneAcknowledgeThenTheDeletion) {
  FakeSyncDevice device;
  device.Start();
  SyncSession session(device.connection(), kCalendarsClass);
  CalendarSyncContext context;
  EXPECT_EQ(DeleteCalendarRecord(session, "c1", context), kResultOk);
  device.Stop();
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetChangesFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "DLMessagePing", "SDMessageProcessChanges", "SDMessageFinishSessionOnDevice"}));
}

}  // namespace
