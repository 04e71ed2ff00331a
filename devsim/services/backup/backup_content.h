// What a simulated device puts into a backup: the files of its farm (the mobile user's home,
// media and databases included), its settings as property lists made from the lockdown
// values, and generated bulk files that are produced on the fly from a seed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "farm/file_util.h"

namespace devsim {

class SimDevice;

constexpr uint32_t kEntryFile = 1;
constexpr uint32_t kEntryDirectory = 2;

struct BackupEntry {
  std::string domain;
  std::string relative_path;
  std::string file_id;  // SHA-1 of "domain-relative_path", lower-case hex
  uint32_t flags = kEntryFile;
  uint64_t size = 0;
  uint32_t mode = 0100644;  // file type bits included
  int64_t mtime = 0;
  uint64_t inode = 0;
  fs::path source;          // a farm file, or empty
  int64_t generated = -1;   // index of a generated bulk file, or -1
  std::string inline_bytes; // content made at backup time (settings)
};

std::string BackupFileId(const std::string& domain, const std::string& relative_path);

// The farm folder (under the device's fs/) that holds a domain's files, or nothing for a
// domain this device does not restore.
std::optional<std::string> DomainFolder(const std::string& domain);

// Settings domain and paths: restored into lockdown values rather than files.
constexpr const char* kSettingsDomain = "SystemPreferencesDomain";
constexpr const char* kSettingsPath = "SystemConfiguration/preferences.plist";
constexpr const char* kGlobalPrefsPath = "Library/Preferences/.GlobalPreferences.plist";

struct BulkSpec {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t seed = 1;
  int64_t time = 0;
};

// Every entry of the device's backup, directories first in path order, then files.
std::vector<BackupEntry> CollectBackupEntries(SimDevice& device, const BulkSpec& bulk);

// Streams an entry's bytes to `out` in pieces. False when the source cannot be read.
bool ReadEntry(const BackupEntry& entry, const BulkSpec& bulk,
               const std::function<bool(const char*, size_t)>& out);

// Fills buf with the bytes of generated file `index` starting at `offset`.
void FillBulk(uint64_t seed, uint64_t index, uint64_t offset, char* buf, size_t len);
uint64_t BulkFileSize(const BulkSpec& bulk, uint64_t index);

}  // namespace devsim
