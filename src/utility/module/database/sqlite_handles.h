// Ownership and failure logging of SQLite connections and statements, shared by every
// reader of a device database. A connection is owned by a shared pointer whose deleter
// closes it; a statement by one whose deleter finalizes it. Statements must be released
// before their connection (a reader resets them first, or lets them go out of scope
// first).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using SqliteDbPtr = std::shared_ptr<sqlite3>;
using SqliteStmtPtr = std::shared_ptr<sqlite3_stmt>;

// Module results of the database readers.
enum DatabaseResult : int64_t {
  kDbOpenFailed = 19,     // the database cannot be opened
  kDbPrepareFailed = 20,  // a statement cannot be prepared
};

// Opens `path` (UTF-8) with the default flags. Null after logging
// "OPEN DB: <path> RES: <code>" when it cannot be opened.
SqliteDbPtr OpenDatabase(const std::string& path);

// Prepares `sql` on `db`. Null after logging "OPEN STMT: <path> SQL: <sql> RES: <code>".
SqliteStmtPtr PrepareStatement(const SqliteDbPtr& db, const std::string& path,
                               std::string_view sql);

// Column `index` of the current row as text; NULL reads as the empty string.
std::string ColumnText(sqlite3_stmt* statement, int index);

// Whether a table named `name` exists: 0 yes, 1 no, 20 when the probe cannot be prepared
// (logged as "OPEN STMT SQL: <sql> RES: <code>"). The name is bound as a parameter.
int64_t TableExists(sqlite3* db, std::string_view name);
