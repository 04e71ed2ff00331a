// The push messages vadoctl builds from JSON descriptions.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "common/text_convert.h"
#include "fake_sync_device.h"
#include "record_builders.h"

namespace {

rapidjson::Document Json(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  return doc;
}

const CIOSDictionary* Record(const std::string& push_xml, const std::string& id) {
  static PlistValue keep;  // keeps the decoded message alive for the caller
  keep = DecodeXml(push_xml);
  if (keep.tag() != kPlistArray || keep.array().size() < 3) return nullptr;
  const PlistValue* record = keep.array()[2].dictionary()->Find(id);
  return record ? record->dictionary() : nullptr;
}

TEST(RecordBuilders, ContactChildrenNameTheContactInTheirIdentifiers) {
  std::string error;
  rapidjson::Document payload = Json(vadoctl::BuildContactPayload(
      R"({"id":"c1","first name":"Ann","birthday":"1980-02-29",
          "phones":[{"value":"+1","type":"mobile"}],"dates":[{"value":"2001-05-04","type":"anniversary"}]})",
      &error));
  ASSERT_TRUE(payload.IsObject()) << error;
  const CIOSDictionary* contact = Record(payload["com.apple.contacts.Contact"].GetString(), "c1");
  ASSERT_NE(contact, nullptr);
  EXPECT_EQ(Utf16ToUtf8(contact->Find("birthday")->text()), "1980-02-29T00:00:00Z");
  const CIOSDictionary* phone = Record(payload["com.apple.contacts.Phone Number"].GetString(), "3/c1/0");
  ASSERT_NE(phone, nullptr);
  EXPECT_EQ(Utf16ToUtf8(phone->Find("contact")->array()[0].text()), "c1");
  EXPECT_NE(Record(payload["com.apple.contacts.Date"].GetString(), "12/c1/0"), nullptr);
  EXPECT_FALSE(payload.HasMember("com.apple.contacts.Email Address"));
}

TEST(RecordBuilders, BadDescriptionsAreRefusedWithAReason) {
  std::string error;
  EXPECT_EQ(vadoctl::BuildContactPayload("[1]", &error), "");
  EXPECT_EQ(vadoctl::BuildContactPayload(R"({"birthday":"29.02.1980"})", &error), "");
  EXPECT_NE(error.find("birthday"), std::string::npos);
  EXPECT_EQ(vadoctl::BuildContactPayload(R"({"age":3})", &error), "");
  EXPECT_EQ(vadoctl::BuildCalendarPayload(R"({"events":[{"summary":"no start"}]})", &error), "");
  EXPECT_EQ(vadoctl::BuildBookmarkPush(R"({"name":"no id"})", &error), "");
}

TEST(RecordBuilders, CalendarPiecesAreLinkedByIdentifiersThatDoNotContainEachOther) {
  std::string error;
  std::string events;
  for (int i = 0; i < 12; ++i) events += std::string(i ? "," : "") + R"({"start":"2024-01-01","alarms":[{}]})";
  rapidjson::Document payload =
      Json(vadoctl::BuildCalendarPayload(R"({"id":"cal","events":[)" + events + "]}", &error));
  ASSERT_TRUE(payload.IsObject()) << error;
  PlistValue alarms = DecodeXml(payload["com.apple.calendars.DisplayAlarm"].GetString());
  std::vector<std::string> owners;
  for (const auto& [id, record] : alarms.array()[2].dictionary()->items()) {
    owners.push_back(Utf16ToUtf8(record.dictionary()->Find("owner")->array()[0].text()));
  }
  ASSERT_EQ(owners.size(), 12u);
  for (const std::string& a : owners) {
    for (const std::string& b : owners) {
      if (a != b) {
        EXPECT_EQ(a.find(b), std::string::npos) << a << " contains " << b;
      }
    }
  }
}

}  // namespace
