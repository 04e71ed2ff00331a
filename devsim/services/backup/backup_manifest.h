// The files a device writes into its backup besides the data: Manifest.db (SQLite, one row
// per file and folder with an archived MBFile record), Manifest.plist and Status.plist; and
// the reading of a host's Manifest.db during a restore.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "services/backup/backup_content.h"
#include "plist/plist_ptr.h"

namespace devsim {

class SimDevice;

// The MBFile record of one entry as an NSKeyedArchiver binary property list.
std::string ArchiveMbFile(const BackupEntry& entry);

// Writes a fresh Manifest.db at `file`. False with error set.
bool WriteManifestDb(const fs::path& file, const std::vector<BackupEntry>& entries,
                     std::string* error);

// Manifest.plist: identity, applications, and the encryption flag with its keybag.
Plist MakeManifestPlist(SimDevice& device, const std::string& keybag, int64_t now);
// Status.plist with the given SnapshotState.
Plist MakeStatusPlist(const std::string& state, const std::string& uuid, int64_t started);

// One row of a host's Manifest.db, checked: a 40-hex file id, flags 1 or 2.
struct ManifestRow {
  std::string file_id;
  std::string domain;
  std::string relative_path;
  uint32_t flags = 0;
};

// Rows of a restore's Manifest.db. Rows with a malformed id or unknown flags are skipped;
// more than max_rows rows, or a file that is not such a database, fail.
bool ReadManifestDb(const fs::path& file, size_t max_rows, std::vector<ManifestRow>* rows,
                    std::string* error);

}  // namespace devsim
