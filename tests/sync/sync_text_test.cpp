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

TEST(IdentifierReplace, ReplacesEveryOccurrence) {
  EXPECT_EQ(ReplaceIdentifier("<string>c1</string><string>c1</string>c1", "c1", "42"),
            "<string>42</string><string>42</string>42");
}

TEST(IdentifierReplace, PatternCharactersAreLiteral) {
  EXPECT_EQ(ReplaceIdentifier("axb|a.b*(1)|a.b*(1)", "a.b*(1)", "$1\\0"), "axb|$1\\0|$1\\0");
  EXPECT_EQ(ReplaceIdentifier("[^x]+ and x", "[^x]+", "y"), "y and x");
}

TEST(IdentifierReplace, IdentifiersAreMatchedAndWrittenEscaped) {
  EXPECT_EQ(ReplaceIdentifier("<string>a&amp;b</string>", "a&b", "<1>"),
            "<string>&lt;1&gt;</string>");
  EXPECT_EQ(ReplaceIdentifier("abc", "", "x"), "abc");
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
