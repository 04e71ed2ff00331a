#include "farm/sms_farm_builder.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "farm/farm_sqlite.h"

namespace devsim {

namespace {

constexpr char kCurrentTables[] =
    "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE (key));"
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL,"
    " country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service));"
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,"
    " style INTEGER, state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT,"
    " service_name TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0,"
    " last_addressed_handle TEXT, display_name TEXT, group_id TEXT);"
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,"
    " text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0,"
    " subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0,"
    " type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT,"
    " error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER,"
    " is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0,"
    " is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0);"
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,"
    " message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,"
    " message_date INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id));"
    "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,"
    " handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE,"
    " UNIQUE (chat_id, handle_id));"
    "CREATE INDEX message_idx_date ON message (date);";

constexpr char kOlderTables[] =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT,"
    " date INTEGER, text TEXT, flags INTEGER, replace INTEGER, svc_center TEXT,"
    " group_id INTEGER, association_id INTEGER, height INTEGER, UIFlags INTEGER,"
    " version INTEGER, subject TEXT, country TEXT, headers BLOB, recipients BLOB,"
    " read INTEGER);"
    "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER,"
    " newest_message INTEGER, unread_count INTEGER, hash INTEGER);"
    "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER,"
    " address TEXT, country TEXT);";

constexpr char kMadridTables[] =
    "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, style INTEGER,"
    " state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT,"
    " service_name TEXT, guid TEXT, room_name TEXT, account_login TEXT, participants BLOB);"
    "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT,"
    " attachment_guid TEXT, created_date INTEGER, start_date INTEGER, filename TEXT,"
    " uti_type TEXT, mime_type TEXT, transfer_state INTEGER, is_incoming INTEGER,"
    " message_id INTEGER);";

// Texts with accents, other scripts and emoji next to plain ones.
const char* const kTexts[] = {
    "Are we still on for tonight?",
    "Caf\xC3\xA9 \xC3\xA0 midi ? \xE2\x98\x95",
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82! \xD0\x9A\xD0\xB0\xD0\xBA \xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0?",
    "On my way \xF0\x9F\x9A\x97",
    "\xE8\xA6\x8B\xE3\x81\xA6\xE3\x81\xAD \xF0\x9F\x8E\x89",
    "Thanks! \xF0\x9F\x98\x80\xF0\x9F\x91\x8D",
    "Can you send me the \"final\" version?",
    "Running 10 min late",
    "Gr\xC3\xBC\xC3\x9F""e aus M\xC3\xBCnchen",
    "ok",
    "Line one\nline two",
    "Happy birthday!!! \xF0\x9F\x8E\x82",
};
constexpr size_t kTextCount = sizeof(kTexts) / sizeof(kTexts[0]);

// 2020-01-05 in 2001-based seconds: the first message's date.
constexpr int64_t kFirstDate = 600'000'000;

int FirmwareMajor(const std::string& version) { return std::atoi(version.c_str()); }

std::string Phone(uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof(text), "+1555%07llu", static_cast<unsigned long long>(n % 10000000));
  return text;
}

// A conversation of the generated database: its participants' addresses.
struct ChatPlan {
  std::vector<std::string> members;
  bool group = false;
  bool twice = false;  // the partner is joined once for iMessage and once for SMS
  uint64_t messages = 0;
};

// Message counts: the first conversations get the most, a few messages (about 1 in 25) are
// joined to no conversation.
std::vector<ChatPlan> PlanChats(const SmsContentSpec& content, std::mt19937_64& rng,
                                uint64_t* unjoined) {
  const uint64_t chats = std::max<uint64_t>(content.chats, 1);
  *unjoined = content.messages >= 25 ? content.messages / 25 : 0;
  uint64_t rest = content.messages - *unjoined;
  std::vector<ChatPlan> plans(chats);
  const uint64_t first_phone = rng() % 1000000;
  uint64_t weights = 0;
  for (uint64_t i = 0; i < chats; ++i) weights += chats - i;
  uint64_t given = 0;
  for (uint64_t i = 0; i < chats; ++i) {
    plans[i].messages = rest * (chats - i) / weights;
    given += plans[i].messages;
  }
  plans[0].messages += rest - given;
  for (uint64_t i = 0; i < chats; ++i) {
    ChatPlan& plan = plans[i];
    plan.group = chats > 2 && i % 4 == 2;
    plan.twice = !plan.group && i % 5 == 3;
    const size_t members = plan.group ? 2 + i % 3 : 1;
    for (size_t m = 0; m < members; ++m) {
      // Distinct per conversation and member: a handle's address and service are unique.
      plan.members.push_back(i % 3 == 1 && m == 0 && !plan.twice
                                 ? "friend" + std::to_string(i) + "@example.com"
                                 : Phone(first_phone + i * 10 + m));
    }
  }
  return plans;
}

bool WriteCurrent(sqlite3* db, const SmsContentSpec& content, bool nanoseconds,
                  std::mt19937_64& rng, std::string* error) {
  if (!FarmExec(db, kCurrentTables, error)) return false;
  FarmStmt handle, chat, message, message_join, handle_join;
  if (!FarmPrepare(db, "INSERT INTO handle (id, country, service, uncanonicalized_id) "
                   "VALUES (?1, 'us', ?2, ?1)", &handle, error) ||
      !FarmPrepare(db, "INSERT INTO chat (guid, style, state, account_id, chat_identifier, "
                   "service_name, account_login) VALUES (?1, ?2, 3, ?3, ?4, ?5, ?6)",
               &chat, error) ||
      !FarmPrepare(db, "INSERT INTO message (guid, text, handle_id, subject, service, account, "
                   "account_guid, error, date, date_read, date_delivered, is_delivered, "
                   "is_finished, is_from_me, is_read, is_sent) VALUES "
                   "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?9, 1, 1, ?11, ?12, ?13)",
               &message, error) ||
      !FarmPrepare(db, "INSERT INTO chat_message_join (chat_id, message_id, message_date) "
                   "VALUES (?1, ?2, ?3)", &message_join, error) ||
      !FarmPrepare(db, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?1, ?2)",
               &handle_join, error)) {
    return false;
  }
  uint64_t unjoined = 0;
  std::vector<ChatPlan> plans = PlanChats(content, rng, &unjoined);
  const std::string account = "e:owner@icloud.com";
  const std::string account_guid = FarmUuid(rng);
  int64_t next_handle = 1;
  // Each conversation's handle row ids, and the conversation of every message in order.
  std::vector<std::vector<int64_t>> chat_handles(plans.size());
  std::vector<int64_t> order;
  for (size_t c = 0; c < plans.size(); ++c) {
    const ChatPlan& plan = plans[c];
    const std::string service = plan.group || c % 2 == 0 ? "iMessage" : "SMS";
    const std::string identifier =
        plan.group ? "chat" + std::to_string(100000000000000000ull + rng() % 899999999999999999ull)
                   : plan.members[0];
    FarmBindText(chat.handle, 1, service + (plan.group ? ";+;" : ";-;") + identifier);
    sqlite3_bind_int(chat.handle, 2, plan.group ? 43 : 45);
    FarmBindText(chat.handle, 3, account_guid);
    FarmBindText(chat.handle, 4, identifier);
    FarmBindText(chat.handle, 5, service);
    FarmBindText(chat.handle, 6, account);
    if (!FarmStepDone(db, chat.handle, error)) return false;
    const int64_t chat_row = sqlite3_last_insert_rowid(db);
    std::vector<std::pair<std::string, std::string>> rows;
    for (const std::string& member : plan.members) rows.emplace_back(member, service);
    if (plan.twice) rows.emplace_back(plan.members[0], service == "SMS" ? "iMessage" : "SMS");
    for (const auto& [address, row_service] : rows) {
      FarmBindText(handle.handle, 1, address);
      FarmBindText(handle.handle, 2, row_service);
      if (!FarmStepDone(db, handle.handle, error)) return false;
      const int64_t handle_row = next_handle++;
      chat_handles[c].push_back(handle_row);
      sqlite3_bind_int64(handle_join.handle, 1, chat_row);
      sqlite3_bind_int64(handle_join.handle, 2, handle_row);
      if (!FarmStepDone(db, handle_join.handle, error)) return false;
    }
    for (uint64_t m = 0; m < plan.messages; ++m) order.push_back(static_cast<int64_t>(c) + 1);
  }
  for (uint64_t m = 0; m < unjoined; ++m) order.push_back(0);
  std::shuffle(order.begin(), order.end(), rng);
  int64_t date = kFirstDate;
  const int64_t unit = nanoseconds ? 1'000'000'000 : 1;
  for (size_t i = 0; i < order.size(); ++i) {
    const int64_t chat_row = order[i];
    date += 30 + static_cast<int64_t>(rng() % 3600);
    const bool from_me = rng() % 2 == 0;
    int64_t handle_id = 0;
    if (chat_row == 0) {
      handle_id = next_handle > 1 ? 1 + static_cast<int64_t>(rng() % (next_handle - 1)) : 0;
    } else {
      const ChatPlan& plan = plans[chat_row - 1];
      const std::vector<int64_t>& members = chat_handles[chat_row - 1];
      // The user's own messages carry handle 0 in groups, the partner's one-to-one.
      handle_id = plan.group && from_me ? 0 : members[rng() % (plan.group ? members.size() : 1)];
    }
    FarmBindText(message.handle, 1, FarmUuid(rng));
    FarmBindText(message.handle, 2, kTexts[rng() % kTextCount]);
    sqlite3_bind_int64(message.handle, 3, handle_id);
    if (i % 17 == 3) FarmBindText(message.handle, 4, "Subject " + std::to_string(i));
    FarmBindText(message.handle, 5, i % 2 ? "iMessage" : "SMS");
    FarmBindText(message.handle, 6, account);
    FarmBindText(message.handle, 7, account_guid);
    sqlite3_bind_int(message.handle, 8, i % 41 == 7 ? 22 : 0);
    sqlite3_bind_int64(message.handle, 9, date * unit);
    sqlite3_bind_int64(message.handle, 10, from_me ? 0 : (date + 120) * unit);
    sqlite3_bind_int(message.handle, 11, from_me ? 1 : 0);
    sqlite3_bind_int(message.handle, 12, from_me ? 0 : 1);
    sqlite3_bind_int(message.handle, 13, from_me ? 1 : 0);
    if (!FarmStepDone(db, message.handle, error)) return false;
    if (chat_row != 0) {
      sqlite3_bind_int64(message_join.handle, 1, chat_row);
      sqlite3_bind_int64(message_join.handle, 2, sqlite3_last_insert_rowid(db));
      sqlite3_bind_int64(message_join.handle, 3, date * unit);
      if (!FarmStepDone(db, message_join.handle, error)) return false;
    }
  }
  return true;
}

// The older schema's dates are written 2001-based, like the current schema's seconds.
bool WriteOlder(sqlite3* db, const SmsContentSpec& content, bool madrid, std::mt19937_64& rng,
                std::string* error) {
  if (!FarmExec(db, kOlderTables, error)) return false;
  if (madrid && !FarmExec(db, kMadridTables, error)) return false;
  FarmStmt message;
  if (!FarmPrepare(db, "INSERT INTO message (address, date, text, flags, subject, country, read) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, 'us', ?6)", &message, error)) {
    return false;
  }
  uint64_t unjoined = 0;
  std::vector<ChatPlan> plans = PlanChats(content, rng, &unjoined);
  std::vector<size_t> order;
  for (size_t c = 0; c < plans.size(); ++c) {
    for (uint64_t m = 0; m < plans[c].messages + (c == 0 ? unjoined : 0); ++m) order.push_back(c);
  }
  std::shuffle(order.begin(), order.end(), rng);
  int64_t date = kFirstDate;
  for (size_t i = 0; i < order.size(); ++i) {
    date += 30 + static_cast<int64_t>(rng() % 3600);
    const bool from_me = rng() % 2 == 0;
    FarmBindText(message.handle, 1, plans[order[i]].members[0]);
    sqlite3_bind_int64(message.handle, 2, date);
    FarmBindText(message.handle, 3, kTexts[rng() % kTextCount]);
    sqlite3_bind_int(message.handle, 4, from_me ? 3 : 2);
    if (i % 13 == 5) FarmBindText(message.handle, 5, "Re: plans");
    sqlite3_bind_int(message.handle, 6, from_me ? 1 : static_cast<int>(rng() % 2));
    if (!FarmStepDone(db, message.handle, error)) return false;
  }
  return true;
}

}  // namespace

bool ParseSmsSchema(const std::string& text, SmsSchema* out) {
  if (text == "current") *out = SmsSchema::kCurrent;
  else if (text == "older") *out = SmsSchema::kOlder;
  else if (text == "madrid") *out = SmsSchema::kMadrid;
  else return false;
  return true;
}

bool WriteSmsDatabase(const fs::path& fsroot, const std::string& product_version,
                      const SmsContentSpec& content, uint64_t seed, std::string* error) {
  if (content.messages == 0 && content.schema == SmsSchema::kByFirmware) return true;
  const int major = FirmwareMajor(product_version);
  SmsSchema schema = content.schema;
  if (schema == SmsSchema::kByFirmware) schema = major >= 6 ? SmsSchema::kCurrent : SmsSchema::kOlder;
  const fs::path folder = fsroot / "private/var/mobile/Library/SMS";
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path file = folder / "sms.db";
  fs::remove(file, ec);
  FarmDb db;
  if (sqlite3_open(file.c_str(), &db.handle) != SQLITE_OK) {
    *error = "cannot create " + file.string();
    return false;
  }
  std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + 4242);
  if (!FarmExec(db.handle, "PRAGMA journal_mode=DELETE; BEGIN", error)) return false;
  const bool written = schema == SmsSchema::kCurrent
                           ? WriteCurrent(db.handle, content, major >= 11, rng, error)
                           : WriteOlder(db.handle, content, schema == SmsSchema::kMadrid, rng, error);
  if (!written) return false;
  return FarmExec(db.handle, "COMMIT", error);
}

}  // namespace devsim
