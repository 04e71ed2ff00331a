// Where backups live on the computer and how the device's backup paths map onto it.
#pragma once

#include <ctime>
#include <optional>
#include <string>

// ${XDG_DATA_HOME:-$HOME/.local/share}/MobileSync/Backup/ (with the trailing '/').
std::string DefaultBackupRoot();

// `root` with exactly one trailing '/' ("" stays ""); a '\' the front end may send
// counts as a separator too.
std::string WithTrailingSeparator(std::string root);

// "-%Y%m%d%H%M%S" of `when` in local time: what makes each run's folder new.
std::string BackupTimeSuffix(std::time_t when);

// True for a device identifier that can name a folder: 1 to 64 hexadecimal digits and
// dashes, not starting with a dash. Anything else ("..", "/", a NUL) never becomes a path.
bool IsPlainDeviceIdentifier(const std::string& udid);

// Maps a device path of a backup ("<udid>/Snapshot/3d/3d0d...") to its file under
// `root`: the time suffix goes right after the leading identifier. Nothing for a path
// that would leave the run's folder: one that does not start with "<udid>/" (or is not
// exactly "<udid>"), is absolute, or has an empty, "." or ".." component.
std::optional<std::string> MapBackupPath(const std::string& device_path, const std::string& udid,
                                         const std::string& suffix, const std::string& root);

// For a restore: the local file of a device path "<source id>/<rest>" under the backup
// folder `folder` (with a trailing '/'). Nothing when the path does not start with the
// identifier or its rest could leave the folder.
std::optional<std::string> MapRestorePath(const std::string& device_path,
                                          const std::string& source_id,
                                          const std::string& folder);
