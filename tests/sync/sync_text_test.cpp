// Texts of the sync conversation: anchors, dates, identifier threading, message XML and
// the data-sync check.
#include <gtest/gtest.h>

#include <cstring>

#include "common/binary_plist.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "fake_sync_device.h"
#include "scoped_time_zone.h"
#include "utility/module/sync/data_sync_check.h"
#include "utility/module/sync/identifier_replace.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/push_text.h"
#include "utility/module/sync/sync_anchor.h"
#include "utility/module/sync/sync_date.h"
#include "utility/module/sync/sync_session.h"

namespace {

std::tm Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

PlistValue Decode(const std::string& xml) { return DecodeXml(xml); }

TEST(SyncAnchor, EastOfUtcWritesWholeHoursWithPlus) {
  EXPECT_EQ(FormatSyncAnchor(Local(2024, 3, 9, 14, 5, 7), 8 * 3600), "2024-03-09 14:05:07 +0800");
  EXPECT_EQ(FormatSyncAnchor(Local(2024, 1, 2, 3, 4, 5), 330 * 60), "2024-01-02 03:04:05 +0500");
  EXPECT_EQ(FormatSyncAnchor(Local(2024, 1, 2, 3, 4, 5), 0), "2024-01-02 03:04:05 +0000");
}

TEST(SyncAnchor, WestOfUtcWritesMinusSign) {
  EXPECT_EQ(FormatSyncAnchor(Local(2024, 7, 1, 23, 59, 59), -5 * 3600), "2024-07-01 23:59:59 -0500");
  EXPECT_EQ(FormatSyncAnchor(Local(2024, 7, 1, 0, 0, 0), -(3 * 3600 + 1800)), "2024-07-01 00:00:00 -0300");
}

TEST(SyncAnchor, CurrentAnchorFollowsTheZone) {
  ScopedTimeZone zone("XXX7");  // UTC-7
  std::string anchor = CurrentSyncAnchor();
  ASSERT_EQ(anchor.size(), 25u) << anchor;
  EXPECT_EQ(anchor.substr(19), " -0700");
}

TEST(SyncDate, RecognisesOnlyTheWholeUtcPattern) {
  EXPECT_TRUE(IsUtcDateText("1980-02-29T00:00:00Z"));
  EXPECT_FALSE(IsUtcDateText("1980-02-29"));
  EXPECT_FALSE(IsUtcDateText("1980-02-29T00:00:00Z "));
  EXPECT_FALSE(IsUtcDateText("1980-02-29 00:00:00Z"));
  EXPECT_FALSE(IsUtcDateText("198a-02-29T00:00:00Z"));
}

TEST(SyncDate, ConvertsToLocalTimeInEastAndWestZones) {
  {
    ScopedTimeZone zone("XXX-1");  // UTC+1
    EXPECT_EQ(UtcDateTextToLocal("1980-02-29T00:00:00Z"), "1980-02-29 01:00:00");
    EXPECT_EQ(UtcDateTextToLocal("2023-12-31T23:30:00Z"), "2024-01-01 00:30:00");
  }
  {
    ScopedTimeZone zone("XXX4");  // UTC-4
    EXPECT_EQ(UtcDateTextToLocal("2020-06-01T12:00:00Z"), "2020-06-01 08:00:00");
    EXPECT_EQ(UtcDateTextToLocal("1960-01-01T02:00:00Z"), "1959-12-31 22:00:00");
  }
}

TEST(SyncDate, ShortTextGivesEmpty) {
  EXPECT_EQ(UtcDateTextToLocal("2020-06-01T12:00"), "");
  EXPECT_EQ(UtcDateTextToLocal(""), "");
}

TEST(SyncDate, FormatsUtcText) {
  EXPECT_EQ(FormatUtcDateText(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcDateText(1717243200), "2024-06-01T12:00:00Z");
}

// A push of one record "r" of entity E with the given member XML.
std::string Push(const std::string& record_id, const std::string& members) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x\">\n"
         "<plist version=\"1.0\"><array><string>SDMessageProcessChanges</string>"
         "<string>com.apple.Contacts</string><dict><key>" + record_id + "</key><dict>" + members +
         "</dict></dict></array></plist>";
}

TEST(IdentifierReplace, OnlyRecordKeysAndRelationMembersChange) {
  const std::string in = Push("1", "<key>contact</key><array><string>1</string><string>11</string></array>"
                                   "<key>value</key><string>1</string><key>note</key><string>a 1 b</string>");
  const std::string out = ReplaceIdentifier(in, "1", "4");
  EXPECT_EQ(out, Push("4", "<key>contact</key><array><string>4</string><string>11</string></array>"
                           "<key>value</key><string>1</string><key>note</key><string>a 1 b</string>"));
  // The prolog's version="1.0" and the plist version stay as written.
  EXPECT_NE(out.find("<?xml version=\"1.0\""), std::string::npos);
  EXPECT_NE(out.find("<plist version=\"1.0\">"), std::string::npos);
  EXPECT_TRUE(IsPushableText(out));
}

TEST(IdentifierReplace, PhoneNumberHoldingTheIdentifierIsKept) {
  const std::string in = Push("ph", "<key>contact</key><array><string>5</string></array>"
                                    "<key>value</key><string>+1 555 0155</string>");
  EXPECT_EQ(ReplaceIdentifier(in, "5", "4"),
            Push("ph", "<key>contact</key><array><string>4</string></array>"
                       "<key>value</key><string>+1 555 0155</string>"));
}

TEST(IdentifierReplace, PrefixOfALongerIdentifierIsNotReplaced) {
  const std::string in = Push("a1", "<key>owner</key><array><string>e10</string></array>");
  EXPECT_EQ(ReplaceIdentifiers(in, {{"e1", "D1"}}), in);
  EXPECT_EQ(ReplaceIdentifiers(in, {{"e1", "D1"}, {"e10", "D10"}}),
            Push("a1", "<key>owner</key><array><string>D10</string></array>"));
}

TEST(IdentifierReplace, OnePassNeverChainsReplacements) {
  const std::string in = Push("a", "<key>owner</key><array><string>x</string><string>y</string></array>");
  EXPECT_EQ(ReplaceIdentifiers(in, {{"x", "y"}, {"y", "z"}}),
            Push("a", "<key>owner</key><array><string>y</string><string>z</string></array>"));
}

TEST(IdentifierReplace, SingleStringRelationAndParent) {
  const std::string in = Push("b", "<key>parent</key><string>f</string><key>title</key><string>f</string>");
  EXPECT_EQ(ReplaceIdentifier(in, "f", "F9"),
            Push("b", "<key>parent</key><string>F9</string><key>title</key><string>f</string>"));
}

TEST(IdentifierReplace, EntitiesAreDecodedAndTheNewIdentifierEscaped) {
  const std::string in = Push("a&amp;b", "<key>calendar</key><array><string>a&#38;b</string></array>");
  EXPECT_EQ(ReplaceIdentifier(in, "a&b", "<1>"),
            Push("&lt;1&gt;", "<key>calendar</key><array><string>&lt;1&gt;</string></array>"));
  EXPECT_EQ(ReplaceIdentifier(in, "", "x"), in);
}

TEST(IdentifierReplace, OtherDictionariesOfTheMessageAreLeftAlone) {
  // The options dictionary after the records and records nested deeper are not records.
  std::string in = Push("r", "<key>x</key><dict><key>contact</key><string>r</string></dict>");
  in.insert(in.find("</array></plist>"),
            "<true/><dict><key>r</key><array><string>r</string></array></dict>");
  const std::string out = ReplaceIdentifier(in, "r", "R");
  EXPECT_EQ(out.find("<key>R</key>"), out.find("<key>R</key><dict><key>x</key>"));
  EXPECT_NE(out.find("<key>contact</key><string>r</string>"), std::string::npos);
  EXPECT_NE(out.find("<true/><dict><key>r</key><array><string>r</string>"), std::string::npos);
}

TEST(IdentifierReplace, MalformedAndDeepTextsAreCopied) {
  EXPECT_EQ(ReplaceIdentifier("<plist><array><string>a", "a", "b"), "<plist><array><string>a");
  EXPECT_EQ(ReplaceIdentifier("<key", "a", "b"), "<key");
  std::string deep(200000, '<');
  EXPECT_EQ(ReplaceIdentifier(deep, "a", "b").size(), deep.size());
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<array>";
  EXPECT_EQ(ReplaceIdentifier(nested, "a", "b"), nested);
}

TEST(PushText, DeeplyNestedTextIsRefusedWithoutCrashing) {
  std::string deep = "<plist version=\"1.0\">";
  for (int i = 0; i < 200000; ++i) deep += "<array>";
  for (int i = 0; i < 200000; ++i) deep += "</array>";
  deep += "</plist>";
  EXPECT_FALSE(IsPushableText(deep));
}

TEST(SyncMessages, DeletionIsExactlyThreeElements) {
  PlistValue message = Decode(DeleteRecordXml(kContactsClass, "abc"));
  ASSERT_EQ(message.array().size(), 3u);
  EXPECT_EQ(Utf16ToUtf8(message.array()[0].text()), "SDMessageProcessChanges");
  EXPECT_EQ(Utf16ToUtf8(message.array()[1].text()), "com.apple.Contacts");
  const CIOSDictionary* records = message.array()[2].dictionary();
  ASSERT_NE(records, nullptr);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ(Utf16ToUtf8(records->Find("abc")->text()), "___EmptyParameterString___");
}

TEST(SyncMessages, LongAndMarkupIdentifiersSurviveEncoding) {
  const std::string id = std::string(10000, 'x') + "<&>\"'";
  PlistValue message = Decode(DeleteRecordXml(kBookmarksDeleteClass, id));
  ASSERT_EQ(message.array().size(), 3u);
  EXPECT_NE(message.array()[2].dictionary()->Find(id), nullptr);
}

class DataSyncCheck : public ::testing::Test {
 protected:
  bool Check(const std::string& dict_xml, const char* key) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" +
                      dict_xml + "</plist>";
    CFPropertyListRef value = XmlToCFPropertyList(xml.data(), xml.size());
    EXPECT_NE(value, nullptr) << xml;
    bool found = DataSyncValueHasEntries(value, key);
    if (value) CMobileExportFun::GetInstance().CFRelease(value);
    return found;
  }
};

TEST_F(DataSyncCheck, EmptyArrayIsNoEntry) {
  EXPECT_FALSE(Check("<dict><key>Contacts</key><dict><key>x</key><array/></dict></dict>", "Contacts"));
}

TEST_F(DataSyncCheck, NonEmptyArrayCountsOnlyForItsKey) {
  const std::string xml =
      "<dict><key>Contacts</key><dict><key>x</key><array><string>a</string></array></dict></dict>";
  EXPECT_TRUE(Check(xml, "Contacts"));
  EXPECT_FALSE(Check(xml, "Notes"));
  EXPECT_FALSE(Check(xml, "contacts"));
}

TEST_F(DataSyncCheck, ValuesThatAreNotArraysArePassedOver) {
  EXPECT_FALSE(Check("<dict><key>Notes</key><dict><key>a</key><string>iCloud</string>"
                     "<key>b</key><integer>3</integer><key>c</key><dict/></dict></dict>",
                     "Notes"));
  EXPECT_TRUE(Check("<dict><key>Notes</key><dict><key>a</key><string>iCloud</string>"
                    "<key>b</key><array><string>iCloud</string></array></dict></dict>",
                    "Notes"));
  EXPECT_FALSE(Check("<dict><key>Notes</key><string>x</string></dict>", "Notes"));
  EXPECT_FALSE(Check("<array><string>Notes</string></array>", "Notes"));
}

TEST_F(DataSyncCheck, NonAsciiAccountNamesCount) {
  EXPECT_TRUE(Check("<dict><key>Calendars</key><dict><key>AccountNames</key><array>"
                    "<string>K\xc3\xa4lender</string></array></dict></dict>",
                    "Calendars"));
}

}  // namespace
