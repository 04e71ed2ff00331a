#include "utility/module/database/sqlite_handles.h"

#include <glog/logging.h>

namespace {

constexpr char kTableProbe[] = "SELECT sql FROM sqlite_master WHERE type=\"table\" AND name = ?1";

}  // namespace

SqliteDbPtr OpenDatabase(const std::string& path) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open(path.c_str(), &raw);
  if (result != SQLITE_OK) {
    LOG(ERROR) << "OPEN DB: " << path << " RES: " << result;
    sqlite3_close(raw);  // a failed open may still hand out a handle
    return nullptr;
  }
  return SqliteDbPtr(raw, [](sqlite3* db) { sqlite3_close(db); });
}

SqliteStmtPtr PrepareStatement(const SqliteDbPtr& db, const std::string& path,
                               std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const int result =
      sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  if (result != SQLITE_OK || raw == nullptr) {
    LOG(ERROR) << "OPEN STMT: " << path << " SQL: " << sql << " RES: " << result;
    sqlite3_finalize(raw);
    return nullptr;
  }
  return SqliteStmtPtr(raw, [](sqlite3_stmt* statement) { sqlite3_finalize(statement); });
}

std::string ColumnText(sqlite3_stmt* statement, int index) {
  const unsigned char* text = sqlite3_column_text(statement, index);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement, index)));
}

int64_t TableExists(sqlite3* db, std::string_view name) {
  sqlite3_stmt* raw = nullptr;
  const int result = sqlite3_prepare_v2(db, kTableProbe, -1, &raw, nullptr);
  if (result != SQLITE_OK || raw == nullptr) {
    LOG(ERROR) << "OPEN STMT SQL: " << kTableProbe << " RES: " << result;
    sqlite3_finalize(raw);
    return kDbPrepareFailed;
  }
  SqliteStmtPtr statement(raw, [](sqlite3_stmt* s) { sqlite3_finalize(s); });
  sqlite3_bind_text(raw, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  return sqlite3_step(raw) == SQLITE_ROW ? 0 : 1;
}
