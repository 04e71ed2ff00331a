// What shapes a simulated device's backups: the farm's backup.plist (generated bulk content,
// a hostile path, the backup keybag once a password is set) and the faults the control
// command injects into the backup service.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "farm/file_util.h"

namespace devsim {

// Where a hostile device puts a path that leaves the host's backup folder.
enum class HostileOp { kNone, kUpload, kMove, kRemove };

struct HostilePath {
  HostileOp op = HostileOp::kNone;
  std::string path;  // sent verbatim: "../x", "/tmp/x", "<other UDID>/x"
};

// "upload:PATH", "move:PATH" or "remove:PATH"; false for anything else.
bool ParseHostile(std::string_view text, HostilePath* out);

struct BackupFaults {
  enum class Action { kNone, kDisconnect, kDrop, kError, kStall };
  Action action = Action::kNone;
  double at_progress = 0;  // fires at the first request whose progress reaches this
  int64_t error_code = 0;
  std::string error_text;
  HostilePath hostile;
  // The device uses the requests a host must answer though the common ones would do:
  // PurgeDiskSpace before the free-space check, MoveFiles and RemoveFiles instead of the
  // *Items names, and a CopyItem into the snapshot before it is removed.
  bool variants = false;
};

// Sets a backup fault from the control command (name, integer argument, optional text):
//   backup-disconnect P, backup-drop P, backup-stall P, backup-error P "CODE TEXT",
//   backup-hostile 0 "OP:PATH", backup-variants 1 (0 turns it off). False for an unknown
//   name or a bad argument.
bool SetBackupFault(BackupFaults* faults, const std::string& name, int64_t arg,
                    const std::string& text);

// devices/UDID/backup.plist.
struct BackupSettings {
  uint64_t bulk_files = 0;  // generated files under Media/Bulk, produced on the fly
  uint64_t bulk_bytes = 0;  // their total size
  uint64_t bulk_seed = 1;
  int64_t bulk_time = 0;    // their modification time (Unix seconds)
  HostilePath hostile;
  // Uploads go straight to their final place: no Snapshot/ stage, no moves. For hosts that
  // keep the path a file arrived at and do not follow moves.
  bool direct = false;
  std::string keybag;       // backup keybag; present while encryption is on
  // A pause after each uploaded data file, so that a host's handling of a running backup
  // can be watched.
  uint64_t file_delay_ms = 0;
};

constexpr uint64_t kMaxFileDelayMs = 10'000;

constexpr uint64_t kMaxBulkFiles = 10'000'000;

fs::path BackupSettingsFile(const fs::path& device_dir);
BackupSettings LoadBackupSettings(const fs::path& device_dir);
// Read-modify-write of backup.plist under one process-wide lock.
// Sets the pause after each uploaded data file (milliseconds, at most kMaxFileDelayMs).
bool SaveFileDelay(const fs::path& device_dir, uint64_t delay_ms);
bool SaveBulkSettings(const fs::path& device_dir, uint64_t files, uint64_t bytes, uint64_t seed,
                      int64_t time);
bool SaveKeybag(const fs::path& device_dir, const std::string& keybag);  // empty removes it

}  // namespace devsim
