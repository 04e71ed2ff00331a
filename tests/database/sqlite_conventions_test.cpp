// Table probe, regexp function and the date text rule shared by the database readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "utility/module/database/date_text.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/database/sql_regexp.h"
#include "utility/module/database/sqlite_handles.h"

namespace {

SqliteDbPtr MemoryDb() {
  SqliteDbPtr db = OpenDatabase(":memory:");
  EXPECT_TRUE(db);
  return db;
}

// The single value of `sql`, or the error message prefixed by "error: ".
std::string Value(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    return std::string("error: ") + sqlite3_errmsg(db);
  }
  std::string value;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    value = text ? reinterpret_cast<const char*>(text) : "NULL";
  } else {
    value = std::string("error: ") + sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  return value;
}

TEST(SqliteConventions, TableProbeBindsTheName) {
  SqliteDbPtr db = MemoryDb();
  ASSERT_EQ(sqlite3_exec(db.get(), "CREATE TABLE message (x); CREATE VIEW chat AS SELECT 1;",
                         nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(TableExists(db.get(), "message"), 0);
  EXPECT_EQ(TableExists(db.get(), "handle"), 1);
  EXPECT_EQ(TableExists(db.get(), "chat"), 1) << "a view is not a table";
  // Text that would change a statement built by concatenation finds nothing.
  EXPECT_EQ(TableExists(db.get(), "x' OR '1'='1"), 1);
  EXPECT_EQ(TableExists(db.get(), "message' --"), 1);
}

TEST(SqliteConventions, OpenAndPrepareFailuresGiveNothing) {
  EXPECT_FALSE(OpenDatabase("/nonexistent-folder/a/b.db"));
  SqliteDbPtr db = MemoryDb();
  EXPECT_FALSE(PrepareStatement(db, ":memory:", "select nothing from nowhere"));
  SqliteStmtPtr statement = PrepareStatement(db, ":memory:", "select NULL, 'a\xC3\xA9'");
  ASSERT_TRUE(statement);
  ASSERT_EQ(sqlite3_step(statement.get()), SQLITE_ROW);
  EXPECT_EQ(ColumnText(statement.get(), 0), "");
  EXPECT_EQ(ColumnText(statement.get(), 1), "a\xC3\xA9");
}

TEST(SqliteConventions, RegexpMatchesIgnoringCaseAndReportsBadArguments) {
  SqliteDbPtr db = MemoryDb();
  ASSERT_EQ(RegisterRegexp(db.get()), SQLITE_OK);
  EXPECT_EQ(Value(db.get(), "select 'Z_12ASSETS' REGEXP 'Z_[0-9]+ASSETS'"), "1");
  EXPECT_EQ(Value(db.get(), "select 'z_7assets' REGEXP 'Z_[0-9]+ASSETS'"), "1");
  EXPECT_EQ(Value(db.get(), "select 'Z_PK_Z_30ASSETS_X' REGEXP 'z_[0-9]+assets'"), "1");
  EXPECT_EQ(Value(db.get(), "select 'Z_ASSETS' REGEXP 'Z_[0-9]+ASSETS'"), "0");
  const std::string error = std::string("error: ") + kRegexpArgumentError;
  EXPECT_EQ(Value(db.get(), "select 'abc' REGEXP ''"), error);
  EXPECT_EQ(Value(db.get(), "select '' REGEXP 'a'"), error);
  EXPECT_EQ(Value(db.get(), "select 'abc' REGEXP '(unclosed'"), error);
  EXPECT_EQ(Value(db.get(), "select regexp('a')"), "error: wrong number of arguments to function regexp()");
}

class DateText : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    saved_ = old ? old : "";
    had_ = old != nullptr;
    setenv("TZ", GetParam(), 1);
    tzset();
  }
  void TearDown() override {
    if (had_) setenv("TZ", saved_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  // Local text of a Unix time, made independently of the rule under test.
  static std::string Local(std::time_t unix_time) {
    std::tm tm{};
    localtime_r(&unix_time, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm);
    return text;
  }
  std::string saved_;
  bool had_ = false;
};

TEST_P(DateText, FollowsTheDeviceDateRule) {
  const std::string zone = GetParam();
  const bool tokyo = zone == "Asia/Tokyo";
  if (zone == "UTC" || tokyo) {
    EXPECT_EQ(DeviceDateText(0), tokyo ? "2001-01-01 09:00:00" : "2001-01-01 00:00:00");
  } else {
    EXPECT_EQ(DeviceDateText(0), "2000-12-31 20:30:00");
  }
  EXPECT_EQ(DeviceDateText(-5), DeviceDateText(0));
  EXPECT_EQ(DeviceDateText(600000000), Local(978307200 + 600000000));
  EXPECT_EQ(DeviceDateText(600000000000000000), DeviceDateText(600000000));
  // The last second of the year 3000 is still seconds; one more is read as nanoseconds.
  const int64_t last = 32535215999 - 978307200;
  EXPECT_EQ(DeviceDateText(last).substr(0, 4), tokyo ? "3001" : "3000");
  EXPECT_EQ(DeviceDateText(last), Local(32535215999));
  EXPECT_EQ(DeviceDateText(last + 1), DeviceDateText((last + 1) / 1000000000));
  EXPECT_EQ(DeviceDateText(INT64_MAX), Local(978307200 + INT64_MAX / 1000000000));
}

TEST_P(DateText, RunsOfDatesMatchTheSystemConversion) {
  // Nearby and far apart values, across daylight-saving changes where the zone has them.
  int64_t value = 0;
  for (int i = 0; i < 20000; ++i) {
    value += i % 3 == 0 ? 1 : i % 3 == 1 ? 599 : 86400 * 13 + 4321;
    ASSERT_EQ(DeviceDateText(value), Local(978307200 + value)) << value;
  }
}

INSTANTIATE_TEST_SUITE_P(TwoZones, DateText, ::testing::Values("UTC", "Asia/Tokyo", "America/St_Johns"));

TEST(DeviceFolder, OnlyPlainIdentifiersNameFiles) {
  EXPECT_TRUE(IsPlainFileName("00008030-001A2B3C4D5E6F70"));
  EXPECT_TRUE(IsPlainFileName("abc_DEF.1"));
  for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/etc", "a b", "x\n"}) {
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    EXPECT_FALSE(DeviceWorkFolder(bad)) << bad;
    EXPECT_FALSE(DeviceTempFile("sms-", bad, ".db")) << bad;
  }
  EXPECT_FALSE(IsPlainFileName(std::string(129, 'a')));
}

}  // namespace
