#include "farm/farm_sqlite.h"

#include <cstdio>

namespace devsim {
namespace {

std::string FarmDbError(sqlite3* db, const char* message) {
  const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
  return std::string(file && *file ? file : "database") + ": " + (message ? message : "failed");
}

}  // namespace

bool FarmCreateDb(const std::filesystem::path& path, FarmDb* db, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::filesystem::remove(path, ec);
  if (sqlite3_open(path.c_str(), &db->handle) == SQLITE_OK) return true;
  *error = "cannot create " + path.string();
  return false;
}

bool FarmExec(sqlite3* db, const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = FarmDbError(db, message);
  sqlite3_free(message);
  return false;
}

bool FarmPrepare(sqlite3* db, const std::string& sql, FarmStmt* out, std::string* error) {
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &out->handle, nullptr) == SQLITE_OK) return true;
  *error = FarmDbError(db, sqlite3_errmsg(db));
  return false;
}

bool FarmStepDone(sqlite3* db, sqlite3_stmt* statement, std::string* error) {
  const int result = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (result == SQLITE_DONE) return true;
  *error = FarmDbError(db, sqlite3_errmsg(db));
  return false;
}

void FarmBindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

std::string FarmUuid(std::mt19937_64& rng) {
  char text[40];
  const uint64_t a = rng(), b = rng();
  std::snprintf(text, sizeof(text), "%08llX-%04llX-%04llX-%04llX-%012llX",
                static_cast<unsigned long long>(a >> 32),
                static_cast<unsigned long long>((a >> 16) & 0xFFFF),
                static_cast<unsigned long long>(a & 0xFFFF),
                static_cast<unsigned long long>(b >> 48),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace devsim
