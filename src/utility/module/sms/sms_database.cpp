#include "utility/module/sms/sms_database.h"

#include <glog/logging.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "utility/module/database/date_text.h"
#include "utility/module/database/sqlite_handles.h"
#include "utility/module/vado_module.h"

const char kSmsMessageStatement[] =
    "select c.rowid,c.chat_identifier,m.rowid,m.text,m.date_read,m.date,m.is_read,"
    "m.is_from_me,m.is_sent,m.error,m.handle_id,h.id,m.subject,m.account,m.account_guid "
    "from message m left join chat_message_join cmj on  m.rowid = cmj.message_id "
    "left join  chat c on  cmj.chat_id = c.rowid left join handle h on m.handle_id = h.rowid "
    "order by m.date";

namespace {

constexpr char kHandleStatement[] =
    "select c.rowid,c.chat_identifier,h.rowid,h.id,h.country,h.service from handle h "
    "left join chat_handle_join chj on h.rowid = chj.handle_id "
    "left join chat c on chj.chat_id = c.rowid";

constexpr char kOlderStatement[] =
    "select m.address,m.rowid,m.text,0,m.date,m.read,m.flags,0,0,0,m.subject,'','' "
    "from message m order by m.date";

// Rows between two questions whether the request was cancelled.
constexpr int kRowsPerCheck = 1024;

using ChatMap = std::map<std::string, SmsChat>;

enum class Schema { kNone, kCurrent, kOlder, kUnreadable };

// The probe answers 0 for a present table. A probe that cannot be prepared (a file that
// is no database) makes the database unreadable rather than empty.
Schema DetectSchema(sqlite3* db) {
  bool failed = false;
  auto has = [db, &failed](const char* table) {
    const int64_t probe = TableExists(db, table);
    failed |= probe == kDbPrepareFailed;
    return probe == 0;
  };
  const bool message = has("message");
  const bool handle = has("handle");
  const bool chat = has("chat");
  const bool message_join = has("chat_message_join");
  const bool handle_join = has("chat_handle_join");
  const bool madrid = has("madrid_chat");
  if (failed) return Schema::kUnreadable;
  if (!message) return Schema::kNone;
  if (handle && chat && message_join && handle_join) return Schema::kCurrent;
  if (madrid) return Schema::kNone;
  return Schema::kOlder;
}

SmsChat& ChatFor(ChatMap& chats, const std::string& id, int64_t row_id) {
  auto [it, added] = chats.try_emplace(id);
  if (added) {
    it->second.chat_id = id;
    it->second.row_id = row_id;
  }
  return it->second;
}

void SetDates(SmsMessage* message) {
  if (message->date != 0) message->date_text = DeviceDateText(message->date);
  if (message->date_read != 0) message->date_read_text = DeviceDateText(message->date_read);
}

// Steps `statement` through its rows; false when cancelled. A step error ends the walk
// with what was read.
template <typename Row>
bool EachRow(sqlite3_stmt* statement, const std::function<bool()>& cancelled, Row row) {
  int since_check = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    if (++since_check == kRowsPerCheck) {
      since_check = 0;
      if (cancelled && cancelled()) return false;
    }
    row(statement);
  }
  return true;
}

int64_t ReadCurrent(const SqliteDbPtr& db, const std::string& path, ChatMap& chats,
                    const std::function<bool()>& cancelled) {
  {
    SqliteStmtPtr messages = PrepareStatement(db, path, kSmsMessageStatement);
    if (!messages) return kDbPrepareFailed;
    const bool done = EachRow(messages.get(), cancelled, [&](sqlite3_stmt* s) {
      SmsMessage message;
      message.chat_id = ColumnText(s, 1);
      SmsChat& chat = ChatFor(chats, message.chat_id, sqlite3_column_int64(s, 0));
      message.row_id = sqlite3_column_int64(s, 2);
      message.text = ColumnText(s, 3);
      message.date_read = sqlite3_column_int64(s, 4);
      message.date = sqlite3_column_int64(s, 5);
      message.is_read = sqlite3_column_int(s, 6);
      message.is_from_me = sqlite3_column_int(s, 7);
      message.is_sent = sqlite3_column_int(s, 8);
      message.error = sqlite3_column_int(s, 9);
      message.handle_id = sqlite3_column_int64(s, 10);
      message.handle_address = ColumnText(s, 11);
      message.subject = ColumnText(s, 12);
      message.account = ColumnText(s, 13);
      message.account_guid = ColumnText(s, 14);
      SetDates(&message);
      if (chat.is_group == 0 && message.handle_id == 0) chat.is_group = 1;
      chat.AddMessage(std::move(message));
    });
    if (!done) return kResultCancelled;
  }
  SqliteStmtPtr handles = PrepareStatement(db, path, kHandleStatement);
  if (!handles) return kDbPrepareFailed;
  const bool done = EachRow(handles.get(), cancelled, [&](sqlite3_stmt* s) {
    const std::string chat_id = ColumnText(s, 1);
    auto it = chats.find(chat_id);
    if (it == chats.end()) return;
    SmsHandle handle;
    handle.chat_id = chat_id;
    handle.chat_row_id = sqlite3_column_int64(s, 0);
    handle.row_id = sqlite3_column_int64(s, 2);
    handle.address = ColumnText(s, 3);
    handle.country = ColumnText(s, 4);
    handle.service = ColumnText(s, 5);
    it->second.AddDisplayPhone(handle.address);
    it->second.handles.push_back(std::move(handle));
  });
  return done ? kResultOk : kResultCancelled;
}

int64_t ReadOlder(const SqliteDbPtr& db, const std::string& path, ChatMap& chats,
                  const std::function<bool()>& cancelled) {
  SqliteStmtPtr messages = PrepareStatement(db, path, kOlderStatement);
  if (!messages) return kDbPrepareFailed;
  const bool done = EachRow(messages.get(), cancelled, [&](sqlite3_stmt* s) {
    // The address converts with SQLite's integer rules: "+15551234567" gives 15551234567,
    // an e-mail address 0.
    const int64_t address = sqlite3_column_int64(s, 0);
    SmsMessage message;
    message.chat_id = std::to_string(address);
    SmsChat& chat = ChatFor(chats, message.chat_id, address);
    message.row_id = sqlite3_column_int64(s, 1);
    message.text = ColumnText(s, 2);
    message.date = sqlite3_column_int64(s, 4);
    message.is_read = sqlite3_column_int(s, 5);
    message.is_from_me = sqlite3_column_int(s, 6) == 3 ? 1 : 0;
    message.subject = ColumnText(s, 10);
    SetDates(&message);
    chat.AddDisplayPhone(message.chat_id);
    chat.AddMessage(std::move(message));
  });
  return done ? kResultOk : kResultCancelled;
}

}  // namespace

SmsReadResult ReadSmsDb(const std::string& path, const std::function<bool()>& cancelled) {
  LOG(INFO) << "QuerySmsDb:" << path;
  SmsReadResult result;
  // Opening creates a missing file; a database that is not there is a failure to open.
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
    LOG(ERROR) << "OPEN DB: " << path << " RES: " << SQLITE_CANTOPEN;
    result.code = kDbOpenFailed;
    return result;
  }
  SqliteDbPtr db = OpenDatabase(path);
  if (!db) {
    result.code = kDbOpenFailed;
    return result;
  }
  ChatMap chats;
  switch (DetectSchema(db.get())) {
    case Schema::kNone:
      return result;
    case Schema::kUnreadable:
      result.code = kDbPrepareFailed;
      return result;
    case Schema::kCurrent:
      result.code = ReadCurrent(db, path, chats, cancelled);
      break;
    case Schema::kOlder:
      result.code = ReadOlder(db, path, chats, cancelled);
      break;
  }
  if (result.code != kResultOk) return result;
  result.chats.reserve(chats.size());
  for (auto& [id, chat] : chats) result.chats.push_back(std::move(chat));
  std::stable_sort(result.chats.begin(), result.chats.end(),
                   [](const SmsChat& a, const SmsChat& b) { return a.last_date > b.last_date; });
  return result;
}
