// A restore as the device drives it: it downloads the backup's Manifest.plist (checking the
// password of an encrypted backup) and Manifest.db, then the files it restores, in batches,
// writing each into its farm confined to the domain's folder; with settings it takes the
// device name and language back into its lockdown values. Ends with the final result.
#pragma once

#include "services/backup/backup_link.h"
#include "plist/plist_ptr.h"

namespace devsim {

class SimDevice;

// `request` is the host's Restore dictionary.
void RunRestore(BackupLink& link, SimDevice& device, plist_t request);

}  // namespace devsim
