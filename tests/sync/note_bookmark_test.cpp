// Notes and bookmarks: records to JSON, the read's messages, and the write conversations.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "common/text_convert.h"
#include "fake_sync_device.h"
#include "scoped_time_zone.h"
#include "utility/module/bookmark/bookmark_operations.h"
#include "utility/module/note/note_operations.h"
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

std::string Note(int i) {
  return "<key>n" + std::to_string(100 + i) + "</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
         "<string>com.apple.notes.Note</string><key>subject</key><string>S" + std::to_string(i) +
         "</string><key>dateModified</key><date>2020-06-01T12:00:00Z</date></dict>";
}

TEST(NoteRead, FortyOneNotesGoOutAsTwentyTwentyOne) {
  FakeSyncDevice device;
  std::string batch = "<dict>";
  for (int i = 0; i < 41; ++i) batch += Note(i);
  device.batches = {batch + "</dict>", "<dict>" + Note(99) + "</dict>"};
  device.Start();
  SyncSession session(device.connection(), kNotesClass);
  NoteSyncContext context;
  ReadNotes(session, context);
  device.Stop();
  // Only the first batch is taken.
  std::vector<SyncDataMessage> out = NoteReadMessages(context.notes, false);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].info, "{\"Count\":41}");
  EXPECT_EQ(out[0].stage, 0);
  size_t sizes[] = {20, 20, 1};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out[1 + i].stage, 1);
    EXPECT_EQ(Json(out[1 + i].body).Size(), sizes[i]);
  }
  EXPECT_EQ(device.names().size(), 5u);
}

TEST(NoteRead, DatesAreLocalWithTheSourceKept) {
  ScopedTimeZone zone("XXX4");
  std::vector<NoteRecord> notes;
  AddNoteRecords(DecodeXml(BatchXml("com.apple.Notes", "<dict>" + Note(1) + "</dict>", false)), &notes);
  ASSERT_EQ(notes.size(), 1u);
  rapidjson::Document doc = Json(NotesJson(notes, 0, 1));
  const auto& note = doc[0];
  EXPECT_STREQ(note["dateModified"].GetString(), "2020-06-01 08:00:00");
  EXPECT_STREQ(note["dateModifiedSource"].GetString(), "2020-06-01T12:00:00Z");
  EXPECT_STREQ(note["dateCreated"].GetString(), "");
  const char* order[] = {"id", "guid", "subject", "author", "content", "dateCreated",
                         "dateCreatedSource", "dateModified", "dateModifiedSource", "contentType",
                         "com_apple_syncservices_RecordEntityName"};
  int i = 0;
  for (const auto& member : note.GetObject()) EXPECT_STREQ(member.name.GetString(), order[i++]);
  EXPECT_EQ(i, 11);
}

TEST(NoteRead, EmptyKeptElsewhereIsMinusOneAlone) {
  std::vector<SyncDataMessage> out = NoteReadMessages({}, true);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].info, "{\"Count\":-1}");
}

TEST(NoteAdd, WithoutTitleSendsNoSubject) {
  ScopedTimeZone zone("XXX-2");
  FakeSyncDevice device;
  device.assign = [](const std::string&) { return "x-coredata://9"; };
  device.Start();
  rapidjson::Document body = Json("{\"id\":\"note-7\",\"content\":\"abc\"}");
  auto add = ParseNoteAdd(body);
  ASSERT_TRUE(add);
  SyncSession session(device.connection(), kNotesClass);
  NoteRecord added;
  EXPECT_EQ(AddNote(session, *add, 1717243200, &added), kResultOk);
  device.Stop();
  EXPECT_EQ(device.names(),
            (Names{"DLMessageVersionExchange", "SDMessageSyncDataClassWithDevice",
                   "SDMessageGetChangesFromDevice", "SDMessageAcknowledgeChangesFromDevice",
                   "DLMessagePing", "SDMessageProcessChanges", "SDMessageFinishSessionOnDevice"}));
  const PlistValue push = device.received()[5];
  ASSERT_EQ(push.array().size(), 5u);
  const CIOSDictionary* record = push.array()[2].dictionary()->Find("note-7")->dictionary();
  ASSERT_NE(record, nullptr);
  std::vector<std::string> keys;
  for (const auto& [key, value] : record->items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"com.apple.syncservices.RecordEntityName", "content",
                                            "contentType", "dateCreated", "dateModified"}));
  EXPECT_EQ(Utf16ToUtf8(record->Find("dateCreated")->text()), "2024-06-01T12:00:00Z");
  EXPECT_EQ(push.array()[3].boolean(), 0);
  rapidjson::Document reply = Json(NotesJson({added}, 0, 1));
  EXPECT_STREQ(reply[0]["id"].GetString(), "x-coredata://9");
  EXPECT_STREQ(reply[0]["guid"].GetString(), "note-7");
  EXPECT_STREQ(reply[0]["subject"].GetString(), "");
  EXPECT_STREQ(reply[0]["content"].GetString(), "abc");
  EXPECT_STREQ(reply[0]["dateCreated"].GetString(), "2024-06-01 14:00:00");
  EXPECT_STREQ(reply[0]["dateModifiedSource"].GetString(), "2024-06-01T12:00:00Z");
  EXPECT_STREQ(reply[0]["contentType"].GetString(), "text/plain");
}

TEST(NoteAdd, NoIdentifierBackIsCode30AndPayloadNeedsId) {
  FakeSyncDevice device;
  device.assign = [](const std::string&) { return std::string(); };
  device.override_answer = [](const PlistValue& m) -> std::vector<std::string> {
    if (ElementText(m, 0) != "SDMessageProcessChanges") return {};
    return {PlistXmlWriter().BeginArray().String("SDMessageRemapRecordIdentifiers")
                .String("com.apple.Notes").BeginDict().Key("other").String("1").EndDict()
                .EndArray().Finish()};
  };
  device.Start();
  SyncSession session(device.connection(), kNotesClass);
  NoteRecord added;
  EXPECT_EQ(AddNote(session, NoteAdd{"n1", "T", std::nullopt}, 0, &added), kNoteNotAssigned);
  device.Stop();
  EXPECT_FALSE(ParseNoteAdd(Json("{\"title\":\"x\"}")));
  EXPECT_FALSE(ParseNoteAdd(Json("{\"id\":5}")));
}

std::string Bookmark(const std::string& id, const char* entity, const std::string& parent,
                     int64_t position, bool with_position = true) {
  std::string xml = "<key>" + id + "</key><dict><key>com.apple.syncservices.RecordEntityName</key>"
                    "<string>" + std::string(entity) + "</string><key>name</key><string>N" + id +
                    "</string>";
  if (!parent.empty()) xml += "<key>parent</key><array><string>" + parent + "</string></array>";
  if (with_position) xml += "<key>position</key><integer>" + std::to_string(position) + "</integer>";
  return xml + "<key>url</key><string>http://" + id + "</string></dict>";
}

constexpr const char* kFolder = "com.apple.bookmarks.Folder";
constexpr const char* kBookmark = "com.apple.bookmarks.Bookmark";

TEST(BookmarkTree, ChildrenOrderedByPositionAndFoldersNotCounted) {
  BookmarkTree tree;
  tree.AddReply(DecodeXml(BatchXml("com.apple.Bookmarks",
      "<dict>" + Bookmark("1", kFolder, "", 0) + Bookmark("2", kBookmark, "1", 5) +
      Bookmark("3", kBookmark, "1", 2) + Bookmark("4", kFolder, "1", 9) +
      Bookmark("5", kBookmark, "4", 0) + Bookmark("6", kBookmark, "missing", 1) + "</dict>", false)));
  EXPECT_EQ(tree.bookmark_count(), 4);
  ASSERT_EQ(tree.roots().size(), 1u);
  std::vector<SyncDataMessage> out = BookmarkReadMessages(tree, false);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].info, "{\"Count\":4}");
  rapidjson::Document root = Json(out[1].body);
  EXPECT_STREQ(root["id"].GetString(), "1");
  ASSERT_EQ(root["children"].Size(), 3u);
  EXPECT_STREQ(root["children"][0]["id"].GetString(), "3");
  EXPECT_STREQ(root["children"][1]["id"].GetString(), "2");
  EXPECT_STREQ(root["children"][2]["id"].GetString(), "4");
  EXPECT_STREQ(root["children"][2]["children"][0]["url"].GetString(), "http://5");
  EXPECT_EQ(root["children"][0]["children"].Size(), 0u);
  const char* order[] = {"id", "name", "url", "com_apple_syncservices_RecordEntityName", "position", "children"};
  int i = 0;
  for (const auto& member : root.GetObject()) EXPECT_STREQ(member.name.GetString(), order[i++]);
}

TEST(BookmarkTree, RootsSortByPositionMissingPositionIsZero) {
  BookmarkTree tree;
  tree.AddReply(DecodeXml(BatchXml("com.apple.Bookmarks",
      "<dict>" + Bookmark("a", kFolder, "", 3) + Bookmark("b", kFolder, "", -2) +
      Bookmark("c", kFolder, "", 0, false) + "</dict>", false)));
  ASSERT_EQ(tree.roots().size(), 3u);
  EXPECT_EQ(tree.roots()[0]->id, "b");
  EXPECT_EQ(tree.roots()[1]->id, "c");
  EXPECT_EQ(tree.roots()[2]->id, "a");
}

TEST(BookmarkTree, SelfParentDoesNotRecurseForever) {
  BookmarkTree tree;
  tree.AddReply(DecodeXml(BatchXml("com.apple.Bookmarks",
      "<dict>" + Bookmark("r", kFolder, "", 0) + Bookmark("x", kFolder, "x", 0) +
      Bookmark("y", kFolder, "r", 0) + "</dict>", false)));
  ASSERT_EQ(tree.roots().size(), 1u);
  rapidjson::Document root = Json(BookmarkTree::NodeJson(*tree.roots()[0]));
  EXPECT_EQ(root["children"].Size(), 1u);
}

TEST(BookmarkRead, EmptyKeptElsewhereIsMinusOne) {
  BookmarkTree tree;
  std::vector<SyncDataMessage> out = BookmarkReadMessages(tree, true);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].info, "{\"Count\":-1}");
}

TEST(BookmarkPush, FrontEndTextGoesOutUnchangedAfterOneAcknowledge) {
  FakeSyncDevice device;
  device.Start();
  const std::string push = PlistXmlWriter().BeginArray().String("SDMessageProcessChanges")
      .String("com.apple.Bookmarks").BeginDict().Key("B1").BeginDict()
      .Key("com.apple.syncservices.RecordEntityName").String(kBookmark).Key("name").String("Site")
      .EndDict().EndDict().Bool(false).BeginDict().EndDict().EndArray().Finish();
  SyncSession session(device.connection(), kBookmarksClass);
  BookmarkSyncContext context;
  EXPECT_EQ(PushBookmarkChanges(session, push, context), kResultOk);
  EXPECT_EQ(PushBookmarkChanges(session, "<plist>", context), kResultBadBody);
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[1].array()[4].int64(), 102);
  EXPECT_EQ(ElementText(sent[4], 1), "com.apple.Bookmarks");
  EXPECT_EQ(sent[5], DecodeXml(push));
}

TEST(BookmarkDelete, OpensWithVersion106AndWaits) {
  FakeSyncDevice device;
  device.Start();
  SyncSession session(device.connection(), kBookmarksDeleteClass);
  BookmarkSyncContext context;
  EXPECT_EQ(DeleteBookmark(session, "B1", context), kResultOk);
  device.Stop();
  std::vector<PlistValue> sent = device.received();
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[1].array()[4].int64(), 106);
  EXPECT_EQ(sent[5].array().size(), 3u);
  EXPECT_EQ(ElementText(sent[6], 0), "SDMessageFinishSessionOnDevice");
}

}  // namespace
