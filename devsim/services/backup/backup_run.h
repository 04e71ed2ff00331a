// A full backup as the device drives it: status download, free-space check, folders, file
// uploads into Snapshot/ with the two-character folder layout, Manifest.plist and Manifest.db,
// moves out of the snapshot, removal of the snapshot, Status.plist "finished", final result.
#pragma once

#include <string>

#include "services/backup/backup_link.h"

namespace devsim {

class SimDevice;

// Runs one backup for `target` (the host's TargetIdentifier). On return the final result has
// been sent, or the link has ended (see BackupLink::ended / close_now).
void RunBackup(BackupLink& link, SimDevice& device, const std::string& target);

}  // namespace devsim
