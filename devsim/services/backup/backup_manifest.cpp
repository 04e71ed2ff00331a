#include "services/backup/backup_manifest.h"

#include <sqlite3.h>

#include <memory>

#include "services/apps/app_store.h"
#include "lockdown/sim_device.h"

namespace devsim {
namespace {

constexpr int64_t kAppleEpoch = 978307200;  // 2001-01-01 in Unix seconds

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

plist_t Uid(uint64_t n) { return plist_new_uid(n); }

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  *error = msg ? msg : "sqlite error";
  sqlite3_free(msg);
  return false;
}

bool IsHexId(const std::string& id) {
  if (id.size() != 40) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* p = sqlite3_column_text(s, i);
  int n = sqlite3_column_bytes(s, i);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string ArchiveMbFile(const BackupEntry& e) {
  // $objects: [0] "$null", [1] the MBFile, [2] its relative path, [3] the class description.
  Plist file = NewDict();
  plist_dict_set_item(file.get(), "$class", Uid(3));
  plist_dict_set_item(file.get(), "RelativePath", Uid(2));
  SetUint(file.get(), "LastModified", static_cast<uint64_t>(e.mtime));
  SetUint(file.get(), "LastStatusChange", static_cast<uint64_t>(e.mtime));
  SetUint(file.get(), "Birth", static_cast<uint64_t>(e.mtime));
  SetUint(file.get(), "Size", e.size);
  SetUint(file.get(), "Mode", e.mode);
  SetUint(file.get(), "UserID", 501);
  SetUint(file.get(), "GroupID", 501);
  SetUint(file.get(), "InodeNumber", e.inode);
  SetUint(file.get(), "ProtectionClass", e.flags == kEntryFile ? 3 : 0);
  SetUint(file.get(), "Flags", 0);
  Plist cls = NewDict();
  SetString(cls.get(), "$classname", "MBFile");
  Plist names = NewArray();
  plist_array_append_item(names.get(), plist_new_string("MBFile"));
  plist_array_append_item(names.get(), plist_new_string("NSObject"));
  SetNode(cls.get(), "$classes", std::move(names));
  Plist objects = NewArray();
  plist_array_append_item(objects.get(), plist_new_string("$null"));
  plist_array_append_item(objects.get(), file.release());
  plist_array_append_item(objects.get(), plist_new_string(e.relative_path.c_str()));
  plist_array_append_item(objects.get(), cls.release());
  Plist root = NewDict();
  SetUint(root.get(), "$version", 100000);
  SetString(root.get(), "$archiver", "NSKeyedArchiver");
  Plist top = NewDict();
  plist_dict_set_item(top.get(), "root", Uid(1));
  SetNode(root.get(), "$top", std::move(top));
  SetNode(root.get(), "$objects", std::move(objects));
  return ToBinary(root.get());
}

bool WriteManifestDb(const fs::path& file, const std::vector<BackupEntry>& entries,
                     std::string* error) {
  std::error_code ec;
  fs::remove(file, ec);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    *error = "cannot create " + file.string();
    return false;
  }
  if (!Exec(db.get(),
            "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
            "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
            "flags INTEGER, file BLOB);"
            "CREATE INDEX FilesDomainIdx ON Files(domain);"
            "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
            "CREATE INDEX FilesFlagsIdx ON Files(flags);"
            "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
            "BEGIN;",
            error)) {
    return false;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db.get(), "INSERT OR REPLACE INTO Files VALUES (?,?,?,?,?)", -1, &st,
                         nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db.get());
    return false;
  }
  Stmt insert(st);
  for (const BackupEntry& e : entries) {
    std::string blob = ArchiveMbFile(e);
    sqlite3_bind_text(st, 1, e.file_id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, e.domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, e.relative_path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 4, e.flags);
    sqlite3_bind_blob(st, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_DONE) {
      *error = sqlite3_errmsg(db.get());
      return false;
    }
    sqlite3_reset(st);
  }
  insert.reset();
  return Exec(db.get(), "COMMIT;", error);
}

Plist MakeManifestPlist(SimDevice& device, const std::string& keybag, int64_t now) {
  Plist m = NewDict();
  SetString(m.get(), "Version", "10.0");
  plist_dict_set_item(m.get(), "Date", plist_new_date(static_cast<int32_t>(now - kAppleEpoch), 0));
  SetBool(m.get(), "IsEncrypted", !keybag.empty());
  // Unencrypted backups carry a keybag too; without a password nothing in it is protected.
  SetData(m.get(), "BackupKeyBag", keybag);
  SetBool(m.get(), "WasPasscodeSet", false);
  SetString(m.get(), "SystemDomainsVersion", "24.0");
  Plist lockdown = NewDict();
  for (const char* key :
       {"BuildVersion", "DeviceName", "ProductType", "ProductVersion", "SerialNumber",
        "UniqueDeviceID"}) {
    SetString(lockdown.get(), key, device.RootString(key).value_or(""));
  }
  std::string error;
  for (const char* domain : {"com.apple.mobile.data_sync", "com.apple.mobile.wireless_lockdown"}) {
    Plist v = device.GetValue(std::string(domain), std::nullopt, true, &error);
    if (IsDict(v.get())) SetNode(lockdown.get(), domain, std::move(v));
  }
  SetNode(m.get(), "Lockdown", std::move(lockdown));
  Plist apps = NewDict();
  if (!device.dir().empty()) {
    AppStore store(device.AppsDir());
    for (const std::string& id : store.BundleIds()) {
      Plist attrs = store.Attributes(id);
      Plist a = NewDict();
      SetString(a.get(), "CFBundleIdentifier", id);
      SetString(a.get(), "CFBundleVersion", DictString(attrs.get(), "CFBundleVersion").value_or("1"));
      SetString(a.get(), "ContainerContentClass", "Data/Application");
      SetString(a.get(), "Path", DictString(attrs.get(), "Path").value_or(""));
      SetNode(apps.get(), id.c_str(), std::move(a));
    }
  }
  SetNode(m.get(), "Applications", std::move(apps));
  return m;
}

Plist MakeStatusPlist(const std::string& state, const std::string& uuid, int64_t started) {
  Plist s = NewDict();
  SetString(s.get(), "SnapshotState", state);
  SetBool(s.get(), "IsFullBackup", true);
  SetString(s.get(), "Version", "3.3");
  SetString(s.get(), "UUID", uuid);
  plist_dict_set_item(s.get(), "Date", plist_new_date(static_cast<int32_t>(started - kAppleEpoch), 0));
  SetString(s.get(), "BackupState", "new");
  return s;
}

bool ReadManifestDb(const fs::path& file, size_t max_rows, std::vector<ManifestRow>* rows,
                    std::string* error) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    *error = "cannot open the manifest database";
    return false;
  }
  // The file comes from the host: no schema tricks, no extensions.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db.get(), "SELECT fileID, domain, relativePath, flags FROM Files", -1,
                         &st, nullptr) != SQLITE_OK) {
    *error = "the manifest database has no usable Files table";
    return false;
  }
  Stmt q(st);
  for (;;) {
    rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = "the manifest database is damaged";
      return false;
    }
    if (rows->size() >= max_rows) {
      *error = "the manifest database lists too many files";
      return false;
    }
    ManifestRow r;
    r.file_id = Column(st, 0);
    r.domain = Column(st, 1);
    r.relative_path = Column(st, 2);
    int64_t flags = sqlite3_column_int64(st, 3);
    if (!IsHexId(r.file_id) || (flags != kEntryFile && flags != kEntryDirectory)) continue;
    r.flags = static_cast<uint32_t>(flags);
    rows->push_back(std::move(r));
  }
}

}  // namespace devsim
