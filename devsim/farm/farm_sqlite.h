// SQLite pieces shared by the farm builders that write device databases: owners that close
// and finalize, statements run to completion, and error texts that name the database file.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <random>
#include <string>

namespace devsim {

struct FarmDb {
  sqlite3* handle = nullptr;
  FarmDb() = default;
  FarmDb(const FarmDb&) = delete;
  FarmDb& operator=(const FarmDb&) = delete;
  ~FarmDb() { sqlite3_close(handle); }
};

struct FarmStmt {
  sqlite3_stmt* handle = nullptr;
  FarmStmt() = default;
  FarmStmt(const FarmStmt&) = delete;
  FarmStmt& operator=(const FarmStmt&) = delete;
  ~FarmStmt() { sqlite3_finalize(handle); }
};

// Creates the database file afresh: parents made, an older file of that name removed.
bool FarmCreateDb(const std::filesystem::path& path, FarmDb* db, std::string* error);

bool FarmExec(sqlite3* db, const std::string& sql, std::string* error);
bool FarmPrepare(sqlite3* db, const std::string& sql, FarmStmt* out, std::string* error);

// Steps an insert or update to its end, then resets the statement and clears its bindings
// for the next row.
bool FarmStepDone(sqlite3* db, sqlite3_stmt* statement, std::string* error);

void FarmBindText(sqlite3_stmt* statement, int index, const std::string& text);

// An upper-case UUID text (8-4-4-4-12) drawn from `rng`.
std::string FarmUuid(std::mt19937_64& rng);

}  // namespace devsim
