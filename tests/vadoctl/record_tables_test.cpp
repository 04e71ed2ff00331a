// The tables vadoctl prints on a terminal for record lists.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "record_tables.h"
#include "text_table.h"

namespace vadoctl {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

rapidjson::Document Parse(const char* json) {
  rapidjson::Document d;
  d.Parse(json);
  EXPECT_FALSE(d.HasParseError()) << json;
  return d;
}

TEST(TextTable, ColumnsLineUpByCharactersAndLongCellsAreCut) {
  TextTable table({"A", "B", "C"}, 6);
  table.Add({"Jörg", "x", "last"});
  table.Add({"abcdefghij", "two\nlines"});  // the missing cell stays blank
  const std::vector<std::string> lines = Lines(table.Render());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "A       B       C");
  EXPECT_EQ(lines[1], "Jörg    x       last");
  // Cut to five characters and an ellipsis; the line break became a space.
  EXPECT_EQ(lines[2], "abcde\u2026  two l\u2026");
}

TEST(TextTable, CutNeverSplitsAMultiByteCharacter) {
  TextTable table({"N"}, 3);
  table.Add({"ééééé"});
  EXPECT_EQ(Lines(table.Render())[1], "éé\u2026");
}

TEST(RecordTables, ContactsShowGroupsNamesPhonesAndEmails) {
  rapidjson::Document listed = Parse(R"({
    "groups": {"G1": {"name": "Family", "members": ["C1", "C2"]}},
    "contacts": {
      "C1": {"first name": "Ann", "last name": "Lee",
             "com.apple.contacts.Phone Number": [{"id": "P1", "value": "+1 555 0100"},
                                                 {"id": "P2", "value": "+1 555 0101"}],
             "com.apple.contacts.Email Address": [{"id": "E1", "value": "ann@example.com"}]},
      "C2": {"organization": "Acme"}}})");
  const std::string text = RecordListTable("contacts", listed);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GE(lines.size(), 7u) << text;
  EXPECT_NE(lines[1].find("Family"), std::string::npos);
  EXPECT_NE(lines[1].find("2"), std::string::npos);
  EXPECT_NE(text.find("Ann Lee"), std::string::npos);
  EXPECT_NE(text.find("+1 555 0100, +1 555 0101"), std::string::npos);
  EXPECT_NE(text.find("ann@example.com"), std::string::npos);
  EXPECT_NE(text.find("Acme"), std::string::npos);  // no personal name: the company
  EXPECT_EQ(lines.back(), "2 contacts");
}

TEST(RecordTables, CalendarsListTheirEvents) {
  rapidjson::Document listed = Parse(R"([
    {"id": "K1", "title": "Work", "read_only": 0, "events": [
      {"id": "V1", "summary": "Standup", "start_date": "2024-05-01T09:00:00Z",
       "end_date": "2024-05-01T09:15:00Z", "location": "Room 4"}]},
    {"id": "K2", "title": "Birthdays", "read_only": 1, "events": []}])");
  const std::string text = RecordListTable("calendars", listed);
  EXPECT_NE(text.find("Standup"), std::string::npos) << text;
  EXPECT_NE(text.find("Room 4"), std::string::npos);
  EXPECT_NE(text.find("Birthdays  0       yes"), std::string::npos) << text;
  EXPECT_EQ(Lines(text).back(), "1 events in 2 calendars");
}

TEST(RecordTables, BookmarksAreIndentedByFolderAndOnlyLinksCount) {
  rapidjson::Document listed = Parse(R"([
    {"id": "F1", "name": "Favorites", "url": "", "children": [
      {"id": "B1", "name": "Example", "url": "https://example.org/", "children": []},
      {"id": "F2", "name": "News", "url": "", "children": [
        {"id": "B2", "name": "Paper", "url": "https://news.example/", "children": []}]}]}])");
  const std::vector<std::string> lines = Lines(RecordListTable("bookmarks", listed));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1].rfind("Favorites", 0), 0u);
  EXPECT_EQ(lines[2].rfind("  Example", 0), 0u);
  EXPECT_EQ(lines[4].rfind("    Paper", 0), 0u);
  EXPECT_EQ(lines.back(), "2 bookmarks");
}

TEST(RecordTables, NotesAndMisshapenListsDoNotFail) {
  rapidjson::Document notes = Parse(
      R"([{"id": "N1", "subject": "Shopping", "content": "milk\neggs", "dateModified": "x"}, 7])");
  const std::string text = RecordListTable("notes", notes);
  EXPECT_NE(text.find("milk eggs"), std::string::npos) << text;
  EXPECT_EQ(Lines(text).back(), "1 notes");
  // A contacts answer that is not an object, values of the wrong kinds: no table, no crash.
  EXPECT_EQ(RecordListTable("contacts", Parse("[1, 2]")), "");
  rapidjson::Document odd = Parse(R"({"groups": [], "contacts": {"C1": 5, "C2": {"first name": 3}}})");
  EXPECT_EQ(Lines(RecordListTable("contacts", odd)).back(), "1 contacts");
  EXPECT_EQ(RecordListTable("calendars", Parse(R"([{"events": {"x": 1}}, "s"])")).empty(), false);
}

}  // namespace
}  // namespace vadoctl
