// The farm's message database: the schema and date unit of each firmware, the table sets
// chosen by name, and the conversations the generator promises.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "farm/sms_farm_builder.h"

namespace {

namespace fs = std::filesystem;

class SmsFarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vado-smsfarm-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
  }
  void TearDown() override {
    sqlite3_close(db_);
    fs::remove_all(root_);
  }
  void Build(const std::string& version, devsim::SmsContentSpec farm_device) {
    std::string error;
    ASSERT_TRUE(devsim::WriteSmsDatabase(root_, version, farm_device, 7, &error)) << error;
    sqlite3_close(db_);
    db_ = nullptr;
    ASSERT_EQ(sqlite3_open_v2((root_ / "private/var/mobile/Library/SMS/sms.db").c_str(), &db_,
                              SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  int64_t Number(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
    int64_t value = -1;
    if (s && sqlite3_step(s) == SQLITE_ROW) value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return value;
  }
  bool Has(const char* table) {
    return Number(std::string("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='") +
                  table + "'") == 1;
  }
  fs::path root_;
  sqlite3* db_ = nullptr;
};

TEST_F(SmsFarmTest, CurrentSchemaDatesFollowTheFirmware) {
  Build("9.3.5", {300, 12, devsim::SmsSchema::kByFirmware});
  EXPECT_TRUE(Has("handle") && Has("chat") && Has("chat_message_join") && Has("chat_handle_join"));
  EXPECT_EQ(Number("SELECT count(*) FROM message"), 300);
  EXPECT_EQ(Number("SELECT count(*) FROM chat"), 12);
  EXPECT_LT(Number("SELECT max(date) FROM message"), 1000000000) << "seconds before 11";
  Build("12.4", {300, 12, devsim::SmsSchema::kByFirmware});
  EXPECT_GT(Number("SELECT min(date) FROM message"), 600000000000000000) << "nanoseconds from 11";
  // What the conversations promise: messages without a conversation, group chats whose own
  // messages carry handle 0, e-mail partners, a partner joined twice, non-ASCII texts.
  EXPECT_GT(Number("SELECT count(*) FROM message WHERE ROWID NOT IN "
                   "(SELECT message_id FROM chat_message_join)"), 0);
  EXPECT_GT(Number("SELECT count(*) FROM chat WHERE style = 43"), 0);
  EXPECT_GT(Number("SELECT count(*) FROM message m JOIN chat_message_join j ON j.message_id ="
                   " m.ROWID JOIN chat c ON c.ROWID = j.chat_id WHERE c.style = 43 AND"
                   " m.handle_id = 0"), 0);
  EXPECT_EQ(Number("SELECT count(*) FROM message m JOIN chat_message_join j ON j.message_id ="
                   " m.ROWID JOIN chat c ON c.ROWID = j.chat_id WHERE c.style = 45 AND"
                   " m.handle_id = 0"), 0) << "one-to-one messages carry the partner";
  EXPECT_GT(Number("SELECT count(*) FROM handle WHERE id LIKE '%@%'"), 0);
  EXPECT_GT(Number("SELECT count(*) FROM (SELECT j.chat_id FROM chat_handle_join j JOIN handle"
                   " h ON h.ROWID = j.handle_id GROUP BY j.chat_id, h.id HAVING count(*) = 2)"), 0);
  EXPECT_GT(Number("SELECT count(*) FROM message WHERE text GLOB '*[^ -~]*'"), 0);
}

TEST_F(SmsFarmTest, OlderAndTransitionalTableSets) {
  Build("4.2.1", {40, 3, devsim::SmsSchema::kByFirmware});
  EXPECT_FALSE(Has("handle"));
  EXPECT_FALSE(Has("madrid_chat"));
  EXPECT_EQ(Number("SELECT count(*) FROM message WHERE flags IN (2, 3)"), 40);
  EXPECT_GT(Number("SELECT count(*) FROM message WHERE address LIKE '%@%'"), 0);
  Build("17.0", {40, 3, devsim::SmsSchema::kMadrid});
  EXPECT_TRUE(Has("madrid_chat"));
  EXPECT_FALSE(Has("chat"));
  Build("5.1", {40, 3, devsim::SmsSchema::kCurrent});
  EXPECT_TRUE(Has("chat_handle_join"));
  devsim::SmsSchema schema;
  EXPECT_FALSE(devsim::ParseSmsSchema("newest", &schema));
  EXPECT_TRUE(devsim::ParseSmsSchema("older", &schema));
  EXPECT_EQ(schema, devsim::SmsSchema::kOlder);
}

}  // namespace
