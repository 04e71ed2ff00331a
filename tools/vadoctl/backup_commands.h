// Backup subcommands of vadoctl: backup, restore, backups (list), encryption.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunBackupCommand(DeviceSession& session, const CliOptions& options);      // [DIR]
int RunRestoreCommand(DeviceSession& session, const CliOptions& options);     // DIR [SOURCE]
int RunBackupsCommand(DeviceSession& session, const CliOptions& options);     // [DIR...]
int RunEncryptionCommand(DeviceSession& session, const CliOptions& options);  // [on PASSWORD]

// The device a backup folder was made from: its name without the "-YYYYmmddHHMMSS"
// suffix the agent adds ("" when the name has no such suffix).
std::string SourceDeviceOf(const std::string& folder);

}  // namespace vadoctl
