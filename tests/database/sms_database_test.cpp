// The message-database reader on small hand-made databases: conversations, groups,
// participants, both schemas, and the table sets and failures that read as nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "utility/module/sms/sms_database.h"

namespace {

namespace fs = std::filesystem;

constexpr char kCurrentSchema[] =
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT, country TEXT,"
    " service TEXT);"
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, chat_identifier TEXT);"
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT, handle_id INTEGER,"
    " subject TEXT, account TEXT, account_guid TEXT, error INTEGER, date INTEGER,"
    " date_read INTEGER, is_from_me INTEGER, is_read INTEGER, is_sent INTEGER);"
    "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
    "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);";

constexpr char kOlderSchema[] =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER,"
    " text TEXT, flags INTEGER, subject TEXT, read INTEGER);";

class SmsDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (fs::temp_directory_path() /
             ("vado-sms-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db"))
                .string();
    fs::remove(path_);
  }
  void TearDown() override { fs::remove(path_); }
  void Make(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(result, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }
  SmsReadResult Read() { return ReadSmsDb(path_, nullptr); }
  static const SmsChat* Find(const SmsReadResult& r, const std::string& id) {
    for (const SmsChat& chat : r.chats) {
      if (chat.chat_id == id) return &chat;
    }
    return nullptr;
  }
  std::string path_;
};

TEST_F(SmsDatabaseTest, CurrentSchemaGroupsMessagesIntoConversations) {
  Make(std::string(kCurrentSchema) +
       "INSERT INTO handle VALUES (1, '+15550001', 'us', 'iMessage'), (2, '+15550001', 'us', 'SMS'),"
       " (3, 'a@example.com', 'us', 'iMessage'), (4, '+15550002', 'us', 'SMS');"
       "INSERT INTO chat VALUES (1, '+15550001'), (2, 'chat123'), (3, 'empty');"
       "INSERT INTO chat_handle_join VALUES (1, 1), (1, 2), (2, 3), (2, 4), (3, 4);"
       // one-to-one: the user's messages carry the partner's handle
       "INSERT INTO message VALUES (1, 'hi', 1, NULL, 'p:+1', 'G', 0, 100, 160, 0, 1, 0),"
       " (2, 'yo \xF0\x9F\x98\x80', 1, 'subj', 'p:+1', 'G', 0, 200, 0, 1, 0, 1),"
       // group: the user's message carries handle 0
       " (3, 'all', 0, NULL, NULL, NULL, 0, 300, 0, 1, 0, 1),"
       " (4, 'reply', 3, NULL, NULL, NULL, 0, 250, 0, 0, 1, 0),"
       // no conversation
       " (5, NULL, 4, NULL, NULL, NULL, 22, 50, 0, 0, 0, 0);"
       "INSERT INTO chat_message_join VALUES (1, 1), (1, 2), (2, 3), (2, 4);");
  SmsReadResult r = Read();
  ASSERT_EQ(r.code, 0);
  ASSERT_EQ(r.chats.size(), 3u) << "a conversation without messages is not listed";
  EXPECT_EQ(r.chats[0].chat_id, "chat123") << "newest first";
  EXPECT_EQ(r.chats[1].chat_id, "+15550001");
  EXPECT_EQ(r.chats[2].chat_id, "");

  const SmsChat* one = Find(r, "+15550001");
  EXPECT_EQ(one->row_id, 1);
  EXPECT_EQ(one->is_group, 0);
  EXPECT_EQ(one->handles.size(), 2u) << "the partner is joined twice";
  EXPECT_EQ(one->display_phones, "+15550001,");
  EXPECT_EQ(one->Snippet(), "yo \xF0\x9F\x98\x80");
  EXPECT_EQ(one->last_date, 200);
  ASSERT_EQ(one->messages.size(), 2u);
  EXPECT_EQ(one->messages[0].date_read, 160);
  EXPECT_FALSE(one->messages[0].date_read_text.empty());
  EXPECT_TRUE(one->messages[1].date_read_text.empty()) << "date read 0 has no text";
  EXPECT_EQ(one->messages[1].subject, "subj");
  EXPECT_EQ(one->messages[1].handle_address, "+15550001");

  const SmsChat* group = Find(r, "chat123");
  EXPECT_EQ(group->is_group, 1);
  EXPECT_EQ(group->display_phones, "a@example.com,+15550002,");
  EXPECT_EQ(group->Snippet(), "all");

  const SmsChat* loose = Find(r, "");
  EXPECT_EQ(loose->row_id, 0);
  EXPECT_EQ(loose->messages[0].text, "");
  EXPECT_EQ(loose->messages[0].error, 22);
  EXPECT_TRUE(loose->handles.empty());
}

TEST_F(SmsDatabaseTest, AConversationDatedZeroSortsLastWithoutDateText) {
  Make(std::string(kCurrentSchema) +
       "INSERT INTO chat VALUES (1, 'zero'), (2, 'later');"
       "INSERT INTO message (ROWID, text, handle_id, date) VALUES (1, 'a', 0, 0), (2, 'b', 0, 5);"
       "INSERT INTO chat_message_join VALUES (1, 1), (2, 2);");
  SmsReadResult r = Read();
  ASSERT_EQ(r.chats.size(), 2u);
  EXPECT_EQ(r.chats[1].chat_id, "zero");
  EXPECT_EQ(r.chats[1].last_date_text, "");
  EXPECT_NE(r.chats[0].last_date_text, "");
}

TEST_F(SmsDatabaseTest, OlderSchemaKeysConversationsByTheAddressAsANumber) {
  Make(std::string(kOlderSchema) +
       "INSERT INTO message VALUES (1, '+15551234567', 10, 'in', 2, NULL, 1),"
       " (2, '+15551234567', 20, 'out', 3, 'Re', 1), (3, 'x@example.com', 15, 'mail', 3, NULL, 0);");
  SmsReadResult r = Read();
  ASSERT_EQ(r.code, 0);
  ASSERT_EQ(r.chats.size(), 2u);
  const SmsChat* phone = Find(r, "15551234567");
  ASSERT_NE(phone, nullptr);
  EXPECT_EQ(phone->row_id, 15551234567);
  EXPECT_EQ(phone->display_phones, "15551234567,");
  EXPECT_EQ(phone->messages[0].is_from_me, 0);
  EXPECT_EQ(phone->messages[1].is_from_me, 1);
  EXPECT_EQ(phone->messages[1].subject, "Re");
  const SmsChat* mail = Find(r, "0");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(mail->messages[0].is_from_me, 1);
  EXPECT_TRUE(mail->handles.empty());
}

TEST_F(SmsDatabaseTest, TableSetsWithoutConversationsAndFailures) {
  Make(std::string(kOlderSchema) + "CREATE TABLE madrid_chat (x);" +
       "INSERT INTO message VALUES (1, '+1', 10, 'in', 2, NULL, 1);");
  EXPECT_EQ(Read().code, 0);
  EXPECT_TRUE(Read().chats.empty()) << "the transitional table set reads as nothing";
  fs::remove(path_);
  Make("CREATE TABLE other (x);");
  EXPECT_EQ(Read().code, 0);
  EXPECT_TRUE(Read().chats.empty());
  fs::remove(path_);
  Make("CREATE TABLE message (x); CREATE TABLE handle (x); CREATE TABLE chat (x);"
       "CREATE TABLE chat_message_join (x); CREATE TABLE chat_handle_join (x);");
  EXPECT_EQ(Read().code, 20) << "columns the statement needs are missing";
  fs::remove(path_);
  EXPECT_EQ(Read().code, 19) << "a missing file is not created and read as empty";
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(ReadSmsDb("", nullptr).code, 19);
  Make("CREATE TABLE x (y);");
  std::FILE* f = std::fopen(path_.c_str(), "wb");
  std::fputs("this is not a database at all, only some text that is long enough", f);
  std::fclose(f);
  EXPECT_NE(Read().code, 0);
}

TEST_F(SmsDatabaseTest, ReadingStopsWhenCancelled) {
  std::string sql = std::string(kCurrentSchema) + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                    "SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO message (text, handle_id, date) "
                    "SELECT 't', 1, i FROM n;";
  Make(sql);
  EXPECT_EQ(ReadSmsDb(path_, [] { return true; }).code, 6);
  EXPECT_EQ(ReadSmsDb(path_, [] { return false; }).chats.at(0).messages.size(), 3000u);
}

}  // namespace
