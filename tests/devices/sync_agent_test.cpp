// Contacts, calendars, bookmarks and notes through the whole agent against the simulator's
// mobile sync service.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>
#include <thread>

#include <rapidjson/document.h>

#include "agent_fixture.h"
#include "record_builders.h"

namespace {

struct Data {
  uint32_t command = 0;
  int stage = 0;
  int64_t count = 0;  // "Count" of the info, 0 when absent
  std::string body;
};

class SyncAgentTest : public AgentFixture {
 protected:
  // Starts a simulator with one device and the agent; returns the device's identifier once
  // the agent reported it.
  std::string StartWith(devsim::DeviceSpec farm_device) {
    std::string udid = Add(farm_device);
    StartAll();
    EXPECT_NE(WaitFor([&](const Seen& s) { return IsArrival(s, udid); }), nullptr);
    udid_ = udid;
    return udid;
  }
  // Runs a request for the device and splits its messages into data and the result code
  // (−100 when no result came).
  int64_t Run(uint32_t command, const std::string& body = "", std::vector<Data>* data = nullptr) {
    std::vector<AgentMessage> all = Request(command, ++task_, "{\"uuid\":\"" + udid_ + "\"}", body);
    if (all.empty()) return -100;
    for (size_t i = 0; i + 1 < all.size(); ++i) {
      rapidjson::Document header;
      header.Parse(all[i].header.c_str());
      Data d;
      d.command = all[i].command_id;
      d.stage = header["stage"].GetInt();
      if (header.HasMember("info") && header["info"].IsObject()) d.count = header["info"]["Count"].GetInt64();
      EXPECT_EQ(all[i].kind, 2);
      EXPECT_EQ(std::string(header["uuid"].GetString()), udid_);
      d.body = all[i].body;
      if (data) data->push_back(std::move(d));
    }
    rapidjson::Document result;
    result.Parse(all.back().header.c_str());
    return result["code"].GetInt64();
  }
  static rapidjson::Document Json(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    EXPECT_FALSE(doc.HasParseError()) << text.substr(0, 200);
    return doc;
  }
  // Every contact of a read, merged into one object.
  rapidjson::Document ReadContacts(int64_t* count = nullptr) {
    std::vector<Data> data;
    EXPECT_EQ(Run(100, "", &data), 0);
    rapidjson::Document all(rapidjson::kObjectType);
    for (const Data& d : data) {
      if (d.command == 100 && d.stage == 0 && count) *count = d.count;
      if (d.command != 100 || d.stage != 1) continue;
      rapidjson::Document part = Json(d.body);
      for (auto& m : part.GetObject()) {
        all.AddMember(rapidjson::Value(m.name, all.GetAllocator()),
                      rapidjson::Value(m.value, all.GetAllocator()), all.GetAllocator());
      }
    }
    return all;
  }
  static std::string Build(std::string (*builder)(const std::string&, std::string*),
                           const std::string& description) {
    std::string error;
    std::string out = builder(description, &error);
    EXPECT_FALSE(out.empty()) << error;
    return out;
  }

  std::string udid_;
  uint64_t task_ = 500;

 public:
  devsim::testing::SimHarness& Sim() { return sim_; }
};

TEST_F(SyncAgentTest, ContactsReadInRepliesOfAHundredWithChildrenAttached) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 250;
  farm_device.sync.groups = 3;
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(100, "", &data), 0);
  ASSERT_EQ(data.size(), 6u);
  EXPECT_EQ(data[0].command, 101u);
  EXPECT_EQ(data[0].stage, 0);
  EXPECT_EQ(data[0].count, 3);
  EXPECT_EQ(data[1].command, 101u);
  rapidjson::Document groups = Json(data[1].body);
  EXPECT_EQ(groups.MemberCount(), 3u);
  EXPECT_EQ(data[2].command, 100u);
  EXPECT_EQ(data[2].stage, 0);
  EXPECT_EQ(data[2].count, 250);
  size_t sizes[] = {100, 100, 50};
  size_t with_phone = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(data[3 + i].stage, 1);
    EXPECT_EQ(data[3 + i].count, 250);
    rapidjson::Document part = Json(data[3 + i].body);
    EXPECT_EQ(part.MemberCount(), sizes[i]);
    for (const auto& contact : part.GetObject()) {
      auto phones = contact.value.FindMember("com.apple.contacts.Phone Number");
      if (phones == contact.value.MemberEnd()) continue;
      ++with_phone;
      EXPECT_TRUE(phones->value[0].HasMember("id"));
      EXPECT_TRUE(phones->value[0].HasMember("value"));
    }
  }
  // Every generated contact has at least one phone number.
  EXPECT_EQ(with_phone, 250u);
}

TEST_F(SyncAgentTest, ContactAddEditAndDelete) {
  StartWith(devsim::DeviceSpec{});
  std::string body = Build(vadoctl::BuildContactPayload, R"({
    "id": "fe-1", "first name": "Ann", "last name": "Lee", "birthday": "1980-02-29",
    "phones": [{"value": "+1 555 0100", "type": "mobile"}, {"value": "+1 555 0199", "type": "work"}],
    "emails": [{"value": "ann@example.com", "type": "home"}]})");
  std::vector<Data> data;
  ASSERT_EQ(Run(102, body, &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document remap = Json(data[0].body);
  ASSERT_TRUE(remap["com.apple.contacts.Contact"].HasMember("fe-1")) << data[0].body;
  const std::string device_id = remap["com.apple.contacts.Contact"]["fe-1"].GetString();
  EXPECT_NE(device_id, "fe-1");
  // Child values whose identifiers the device keeps are not remapped; they are checked by
  // reading them back.

  int64_t count = 0;
  rapidjson::Document contacts = ReadContacts(&count);
  EXPECT_EQ(count, 1);
  ASSERT_TRUE(contacts.HasMember(device_id.c_str()));
  const auto& ann = contacts[device_id.c_str()];
  EXPECT_STREQ(ann["first name"].GetString(), "Ann");
  EXPECT_STREQ(ann["birthday"].GetString(), "1980-02-29 00:00:00");  // the test runs in UTC
  ASSERT_EQ(ann["com.apple.contacts.Phone Number"].Size(), 2u);
  std::set<std::string> numbers;
  for (const auto& p : ann["com.apple.contacts.Phone Number"].GetArray()) numbers.insert(p["value"].GetString());
  EXPECT_EQ(numbers, (std::set<std::string>{"+1 555 0100", "+1 555 0199"}));
  EXPECT_STREQ(ann["com.apple.contacts.Email Address"][0]["value"].GetString(), "ann@example.com");

  // Edit: the same record under the device's identifier.
  std::string edit = Build(vadoctl::BuildContactPayload,
                           R"({"id": ")" + device_id + R"(", "first name": "Anne", "last name": "Lee"})");
  data.clear();
  ASSERT_EQ(Run(102, edit, &data), 0);
  contacts = ReadContacts();
  ASSERT_TRUE(contacts.HasMember(device_id.c_str()));
  EXPECT_STREQ(contacts[device_id.c_str()]["first name"].GetString(), "Anne");

  ASSERT_EQ(Run(103, "{\"id\":\"" + device_id + "\"}"), 0);
  count = 7;
  contacts = ReadContacts(&count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(contacts.MemberCount(), 0u);
}

TEST_F(SyncAgentTest, GroupIsCreatedThenGetsMembers) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 3;
  StartWith(farm_device);
  rapidjson::Document contacts = ReadContacts();
  std::vector<std::string> ids;
  for (const auto& c : contacts.GetObject()) ids.push_back(c.name.GetString());
  ASSERT_EQ(ids.size(), 3u);

  std::vector<Data> data;
  ASSERT_EQ(Run(104, R"({"id":"g1","name":"Team"})", &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document reply = Json(data[0].body);
  ASSERT_TRUE(reply.HasMember("g1")) << data[0].body;
  const std::string group_id = reply["g1"][0].GetString();
  EXPECT_STREQ(reply["g1"][1].GetString(), "Team");
  ASSERT_EQ(group_id.rfind("Group/", 0), 0u) << group_id;
  const std::string number = group_id.substr(6);

  data.clear();
  ASSERT_EQ(Run(106, R"({"guid":")" + number + R"(","id":")" + number + R"(","name":"Team B","members":[")" +
                         ids[0] + R"(",")" + ids[2] + R"("]})", &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document set_reply = Json(data[0].body);
  ASSERT_TRUE(set_reply.HasMember(number.c_str())) << data[0].body;
  EXPECT_EQ(set_reply[number.c_str()][0].GetString(), group_id);

  data.clear();
  ASSERT_EQ(Run(100, "", &data), 0);
  ASSERT_GE(data.size(), 2u);
  rapidjson::Document groups = Json(data[1].body);
  ASSERT_TRUE(groups.HasMember(group_id.c_str())) << data[1].body;
  EXPECT_STREQ(groups[group_id.c_str()]["name"].GetString(), "Team B");
  ASSERT_EQ(groups[group_id.c_str()]["members"].Size(), 2u);
  EXPECT_EQ(groups[group_id.c_str()]["members"][1].GetString(), ids[2]);
}

TEST_F(SyncAgentTest, EmptyClassesOwnedByAnAccountCountMinusOne) {
  devsim::DeviceSpec farm_device;
  farm_device.icloud_classes = {"Contacts", "Calendars", "Bookmarks", "Notes"};
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(100, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].count, 0);
  EXPECT_EQ(data[1].count, -1);
  for (uint32_t command : {1500u, 1400u, 1200u}) {
    data.clear();
    ASSERT_EQ(Run(command, "", &data), 0);
    ASSERT_EQ(data.size(), 1u) << command;
    EXPECT_EQ(data[0].count, -1) << command;
  }
}

TEST_F(SyncAgentTest, SectionCountTwoDoesNothing) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 2;
  StartWith(farm_device);
  std::string payload = std::string("2") + '\0' + "{\"uuid\":\"" + udid_ + "\"}" + '\0';
  ASSERT_TRUE(link_.Send(100, 77, 0, payload));
  const Seen* result = WaitFor([](const Seen& s) { return s.message.task_id == 77; });
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  EXPECT_EQ(result->header["code"].GetInt64(), 0);
}

TEST_F(SyncAgentTest, UnknownDeviceAndBadBodies) {
  StartWith(devsim::DeviceSpec{});
  std::vector<AgentMessage> all = Request(100, 90, "{\"uuid\":\"nope\"}");
  ASSERT_EQ(all.size(), 1u);
  rapidjson::Document header = Json(all[0].header);
  EXPECT_EQ(header["code"].GetInt64(), 7);
  EXPECT_EQ(Run(102, R"({"com.apple.contacts.Contact":"<plist><array>"})"), 8);
  EXPECT_EQ(Run(102, R"({"com.apple.contacts.Phone Number":"x"})"), 8);
  EXPECT_EQ(Run(103, R"({"name":"x"})"), 8);
  EXPECT_EQ(Run(1401, "not a property list"), 8);
  EXPECT_EQ(Run(1501, R"({"com.apple.calendars.Event":"x"})"), 8);
  EXPECT_EQ(Run(1201, R"({"title":"no id"})"), 8);
}

TEST_F(SyncAgentTest, CalendarsReadInRepliesOfTwentyWithNestedEvents) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.calendars = 45;
  farm_device.sync.events = 300;
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 4u);
  EXPECT_EQ(data[0].count, 45);
  size_t sizes[] = {20, 20, 5};
  size_t events = 0, recurrences = 0, alarms = 0;
  for (int i = 0; i < 3; ++i) {
    rapidjson::Document part = Json(data[1 + i].body);
    ASSERT_EQ(part.Size(), sizes[i]);
    for (const auto& cal : part.GetArray()) {
      EXPECT_EQ(cal["colorComponents"].Size(), 4u);
      for (const auto& ev : cal["events"].GetArray()) {
        ++events;
        if (ev.HasMember("recurrence")) {
          ++recurrences;
          EXPECT_FALSE(std::string(ev["recurrence"]["frequency"].GetString()).empty());
        }
        alarms += ev["display_alarms"].Size();
        EXPECT_EQ(std::string(ev["start_date_source"].GetString()).size(), 20u);
      }
    }
  }
  EXPECT_EQ(events, 300u);
  EXPECT_GT(recurrences, 0u);
  EXPECT_GT(alarms, 0u);
}

TEST_F(SyncAgentTest, CalendarWithEventAlarmAndRecurrenceInOneRequestThenDelete) {
  StartWith(devsim::DeviceSpec{});
  std::string body = Build(vadoctl::BuildCalendarPayload, R"({
    "id": "fe-cal", "title": "Trips", "color": [10, 20, 30, 255],
    "events": [{"summary": "Flight", "start": "2024-05-01T09:00:00Z", "end": "2024-05-01T11:00:00Z",
                "alarms": [{"trigger": -1800, "description": "Leave"}],
                "recurrence": {"frequency": "weekly", "interval": 2, "until": "2024-12-31"}}]})");
  std::vector<Data> data;
  ASSERT_EQ(Run(1501, body, &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document remap = Json(data[0].body);
  const std::string calendar_id = remap["com.apple.calendars.Calendar"]["fe-cal"].GetString();
  EXPECT_EQ(remap["com.apple.calendars.Event"].MemberCount(), 1u);
  EXPECT_EQ(remap["com.apple.calendars.DisplayAlarm"].MemberCount(), 1u);
  EXPECT_EQ(remap["com.apple.calendars.Recurrence"].MemberCount(), 1u);

  data.clear();
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  rapidjson::Document cals = Json(data[1].body);
  ASSERT_EQ(cals.Size(), 1u);
  EXPECT_EQ(cals[0]["id"].GetString(), calendar_id);
  EXPECT_STREQ(cals[0]["title"].GetString(), "Trips");
  EXPECT_EQ(cals[0]["colorComponents"][2].GetInt(), 30);
  ASSERT_EQ(cals[0]["events"].Size(), 1u) << data[1].body;
  const auto& ev = cals[0]["events"][0];
  EXPECT_STREQ(ev["summary"].GetString(), "Flight");
  EXPECT_STREQ(ev["start_date"].GetString(), "2024-05-01 09:00:00");
  ASSERT_TRUE(ev.HasMember("recurrence")) << data[1].body;
  EXPECT_STREQ(ev["recurrence"]["frequency"].GetString(), "weekly");
  EXPECT_EQ(ev["recurrence"]["interval"].GetInt64(), 2);
  ASSERT_EQ(ev["display_alarms"].Size(), 1u);
  EXPECT_EQ(ev["display_alarms"][0]["triggerduration"].GetInt64(), -1800);

  ASSERT_EQ(Run(1502, "{\"id\":\"" + calendar_id + "\"}"), 0);
  data.clear();
  ASSERT_EQ(Run(1500, "", &data), 0);
  EXPECT_EQ(data[0].count, 0);
}

TEST_F(SyncAgentTest, EventDatesFollowTheAgentsTimeZone) {
  setenv("TZ", "XXX-1", 1);  // the agent starts in UTC+1
  devsim::DeviceSpec farm_device;
  farm_device.sync.calendars = 2;
  farm_device.sync.events = 10;
  StartWith(farm_device);
  setenv("TZ", "UTC", 1);
  std::vector<Data> data;
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  rapidjson::Document cals = Json(data[1].body);
  size_t checked = 0;
  for (const auto& cal : cals.GetArray()) {
    for (const auto& ev : cal["events"].GetArray()) {
      std::string source = ev["start_date_source"].GetString();
      std::tm utc{};
      ASSERT_NE(strptime(source.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc), nullptr) << source;
      std::time_t shifted = timegm(&utc) + 3600;
      std::tm local{};
      gmtime_r(&shifted, &local);
      char expected[32];
      std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
      EXPECT_STREQ(ev["start_date"].GetString(), expected);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 10u);
}

void CheckOrdered(const rapidjson::Value& node, size_t* nodes) {
  ++*nodes;
  int64_t last = INT64_MIN;
  for (const auto& child : node["children"].GetArray()) {
    EXPECT_GE(child["position"].GetInt64(), last);
    last = child["position"].GetInt64();
    CheckOrdered(child, nodes);
  }
}

TEST_F(SyncAgentTest, BookmarkTreeThenPushAndDelete) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.bookmarks = 30;
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(1400, "", &data), 0);
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data[0].count, 30);
  size_t nodes = 0;
  std::string folder_id;
  for (size_t i = 1; i < data.size(); ++i) {
    rapidjson::Document root = Json(data[i].body);
    CheckOrdered(root, &nodes);
    if (folder_id.empty()) folder_id = root["id"].GetString();
  }
  EXPECT_EQ(nodes, 2u + 30u + 30u / 6);

  std::string push = Build(vadoctl::BuildBookmarkPush,
                           R"({"id":"B0000000-0000-0000-0000-000000000001","name":"Example",)"
                           R"("url":"https://example.org/","parent":")" + folder_id + R"(","position":99})");
  ASSERT_EQ(Run(1401, push), 0);
  data.clear();
  ASSERT_EQ(Run(1400, "", &data), 0);
  EXPECT_EQ(data[0].count, 31);
  rapidjson::Document first = Json(data[1].body);
  const auto& children = first["children"];
  ASSERT_GT(children.Size(), 0u);
  EXPECT_STREQ(children[children.Size() - 1]["url"].GetString(), "https://example.org/");

  ASSERT_EQ(Run(1402, R"({"id":"B0000000-0000-0000-0000-000000000001"})"), 0);
  data.clear();
  ASSERT_EQ(Run(1400, "", &data), 0);
  EXPECT_EQ(data[0].count, 30);
}

TEST_F(SyncAgentTest, NotesReadInRepliesOfTwentyThenAddWithoutTitle) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.notes = 41;
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(1200, "", &data), 0);
  ASSERT_EQ(data.size(), 4u);
  EXPECT_EQ(data[0].count, 41);
  size_t sizes[] = {20, 20, 1};
  for (int i = 0; i < 3; ++i) {
    rapidjson::Document part = Json(data[1 + i].body);
    EXPECT_EQ(part.Size(), sizes[i]);
  }

  data.clear();
  ASSERT_EQ(Run(1201, R"({"id":"note-7","content":"abc"})", &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document added = Json(data[0].body);
  const std::string device_id = added[0]["id"].GetString();
  EXPECT_STREQ(added[0]["guid"].GetString(), "note-7");
  EXPECT_STREQ(added[0]["subject"].GetString(), "");

  data.clear();
  ASSERT_EQ(Run(1200, "", &data), 0);
  EXPECT_EQ(data[0].count, 42);
  bool found = false;
  for (size_t i = 1; i < data.size(); ++i) {
    rapidjson::Document part = Json(data[i].body);
    for (const auto& note : part.GetArray()) {
      if (note["id"].GetString() != device_id) continue;
      found = true;
      EXPECT_STREQ(note["content"].GetString(), "abc");
      EXPECT_STREQ(note["subject"].GetString(), "");
      EXPECT_STREQ(note["contentType"].GetString(), "text/plain");
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(SyncAgentTest, EditOfAnExistingCalendarRenamesItAndKeepsEventEdits) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.calendars = 1;
  farm_device.sync.events = 2;
  StartWith(farm_device);
  std::vector<Data> data;
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  rapidjson::Document cals = Json(data[1].body);
  ASSERT_EQ(cals.Size(), 1u);
  const std::string calendar_id = cals[0]["id"].GetString();
  ASSERT_GE(cals[0]["events"].Size(), 1u);
  const std::string event_id = cals[0]["events"][0]["id"].GetString();

  std::string body = Build(vadoctl::BuildCalendarPayload,
                           R"({"id":")" + calendar_id + R"(","title":"Renamed Home","events":[{"id":")" +
                               event_id + R"(","summary":"Edited","start":"2024-06-01T10:00:00Z"}]})");
  data.clear();
  ASSERT_EQ(Run(1501, body, &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document remap = Json(data[0].body);
  EXPECT_EQ(remap["com.apple.calendars.Calendar"][calendar_id.c_str()].GetString(), calendar_id);

  data.clear();
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  cals = Json(data[1].body);
  ASSERT_EQ(cals.Size(), 1u);
  EXPECT_EQ(cals[0]["id"].GetString(), calendar_id);
  EXPECT_STREQ(cals[0]["title"].GetString(), "Renamed Home");
  bool edited = false;
  for (const auto& ev : cals[0]["events"].GetArray()) {
    if (ev["id"].GetString() != event_id) continue;
    edited = true;
    EXPECT_STREQ(ev["summary"].GetString(), "Edited");
    EXPECT_STREQ(ev["start_date"].GetString(), "2024-06-01 10:00:00");
  }
  EXPECT_TRUE(edited) << data[1].body;
}

TEST_F(SyncAgentTest, IdentifiersAreReplacedOnlyWhereRecordsReferToRecords) {
  StartWith(devsim::DeviceSpec{});
  // The front-end identifier "5" also occurs inside the phone number.
  std::string body = Build(vadoctl::BuildContactPayload,
                           R"({"id":"5","first name":"Five","phones":[{"value":"+1 555 0155","type":"mobile"}]})");
  std::vector<Data> data;
  ASSERT_EQ(Run(102, body, &data), 0);
  ASSERT_EQ(data.size(), 1u);
  rapidjson::Document remap = Json(data[0].body);
  const std::string device_id = remap["com.apple.contacts.Contact"]["5"].GetString();
  ASSERT_NE(device_id, "5");
  rapidjson::Document contacts = ReadContacts();
  ASSERT_TRUE(contacts.HasMember(device_id.c_str()));
  const auto& phones = contacts[device_id.c_str()]["com.apple.contacts.Phone Number"];
  ASSERT_EQ(phones.Size(), 1u);
  EXPECT_STREQ(phones[0]["value"].GetString(), "+1 555 0155");

  // "e1" is a prefix of "e10": each event keeps its own alarm.
  body = Build(vadoctl::BuildCalendarPayload, R"({"id":"c1","title":"Prefixes","events":[
      {"id":"e1","summary":"one","start":"2024-05-01T09:00:00Z",
       "alarms":[{"id":"a1","description":"alarm of one","trigger":-60}]},
      {"id":"e10","summary":"ten","start":"2024-05-02T09:00:00Z",
       "alarms":[{"id":"a10","description":"alarm of ten","trigger":-600}]}]})");
  data.clear();
  ASSERT_EQ(Run(1501, body, &data), 0);
  data.clear();
  ASSERT_EQ(Run(1500, "", &data), 0);
  ASSERT_EQ(data.size(), 2u);
  rapidjson::Document cals = Json(data[1].body);
  ASSERT_EQ(cals.Size(), 1u);
  ASSERT_EQ(cals[0]["events"].Size(), 2u) << data[1].body;
  for (const auto& ev : cals[0]["events"].GetArray()) {
    const std::string summary = ev["summary"].GetString();
    ASSERT_EQ(ev["display_alarms"].Size(), 1u) << summary;
    EXPECT_EQ(std::string(ev["display_alarms"][0]["description"].GetString()), "alarm of " + summary);
  }
}

// Runs `command` with the simulator cutting (or cancelling) every mobilesync conversation
// after 2, 2 + step, 2 + 2 step ... messages. Every conversation cut before its end answers a failure and
// sends no data; the first cut that comes too late to matter gives 0.
void ExpectCutsFail(SyncAgentTest* test, const std::string& udid, const char* fault,
                    uint32_t command, const std::function<std::string()>& body,
                    const std::function<int64_t(uint32_t, const std::string&, std::vector<Data>*)>& run,
                    int step = 1) {
  bool completed = false;
  // Cuts before the second message (the version answer) are left out: nothing has started.
  for (int after = 2; after < 20 && !completed; after += step) {
    SCOPED_TRACE(std::string(fault) + " after " + std::to_string(after));
    ASSERT_EQ(test->Sim().Control({"fault", udid, fault, std::to_string(after)}).status, 0);
    std::vector<Data> data;
    const int64_t code = run(command, body(), &data);
    ASSERT_NE(code, -100);
    if (code == 0) {
      completed = true;
      EXPECT_GE(after, 4);
    } else {
      EXPECT_TRUE(data.empty());
    }
  }
  EXPECT_TRUE(completed);
  ASSERT_EQ(test->Sim().Control({"fault", udid, "clear"}).status, 0);
}

TEST_F(SyncAgentTest, WritesCutShortAnswerFailure) {
  StartWith(devsim::DeviceSpec{});
  auto run = [this](uint32_t command, const std::string& body, std::vector<Data>* data) {
    return Run(command, body, data);
  };
  int serial = 0;
  auto note = [&] { return R"({"id":"n)" + std::to_string(++serial) + R"(","content":"x"})"; };
  auto calendar = [&] {
    return Build(vadoctl::BuildCalendarPayload, R"({"id":"c)" + std::to_string(++serial) + R"(","title":"T"})");
  };
  ExpectCutsFail(this, udid_, "sync-cut", 1201, note, run);
  ExpectCutsFail(this, udid_, "sync-cancel", 1501, calendar, run);
}

TEST_F(SyncAgentTest, ReadsCutShortAnswerFailureAndSendNoPartialList) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 1;
  farm_device.sync_batch = 4;  // the contact and its values come in two or more batches
  StartWith(farm_device);
  auto run = [this](uint32_t command, const std::string& body, std::vector<Data>* data) {
    return Run(command, body, data);
  };
  // A cut costs the agent a second or more to notice; every third point keeps the test short.
  ExpectCutsFail(this, udid_, "sync-cut", 100, [] { return std::string(); }, run, 3);
  ExpectCutsFail(this, udid_, "sync-cancel", 100, [] { return std::string(); }, run);
}

TEST_F(SyncAgentTest, GroupCreateAnswersOneWhenTheRemapNamesNoGroup) {
  StartWith(devsim::DeviceSpec{});
  std::vector<Data> data;
  ASSERT_EQ(Run(104, R"({"id":"g1","name":"Team"})", &data), 0);
  rapidjson::Document reply = Json(data[0].body);
  const std::string group_id = reply["g1"][0].GetString();
  // Creating "Group/<n>" again: the record exists, the device maps nothing.
  data.clear();
  EXPECT_EQ(Run(104, R"({"id":")" + group_id.substr(6) + R"(","name":"Again"})", &data), 1);
  EXPECT_TRUE(data.empty());
}

TEST_F(SyncAgentTest, CancelDuringALargeReadAnswersSixQuickly) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 10000;
  farm_device.sync_batch = 20;
  StartWith(farm_device);
  const uint64_t task = 4242;
  SendRequest(100, task, udid_);
  // Let the read get going, then cancel it.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ExpectCancelledInTime(udid_, task, 4243, nullptr);
  // No record messages went out for the cancelled read.
  for (const Seen* s : MessagesOf(task)) EXPECT_NE(s->message.kind, 2);
}

TEST_F(SyncAgentTest, CancelWhileTheDeviceHoldsBackAReplyAnswersSixQuickly) {
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = 200;
  farm_device.sync_batch = 20;
  StartWith(farm_device);
  // The device stops sending partway through the records and never goes on by itself.
  ASSERT_EQ(Sim().Control({"fault", udid_, "service-stall", "3000", "com.apple.mobilesync"}).status, 0);
  const uint64_t task = 4343;
  SendRequest(100, task, udid_);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ExpectCancelledInTime(udid_, task, 4344, nullptr);
  ASSERT_EQ(Sim().Control({"fault", udid_, "clear"}).status, 0);
  // The device is served again once it answers.
  EXPECT_EQ(Run(100), 0);
}

}  // namespace
