// vadoctl's application subcommands: apps, icons, install, uninstall, archive. Each sends
// its request about the session's device and prints what comes back: JSON lines or
// readable text, progress bars on a terminal.
#pragma once

#include <string>

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunApps(DeviceSession& session, const CliOptions& options);
int RunIcons(DeviceSession& session, const CliOptions& options);      // --out DIR [ID...]
int RunInstall(DeviceSession& session, const CliOptions& options);    // FILE...
int RunUninstall(DeviceSession& session, const CliOptions& options);  // ID...
int RunArchive(DeviceSession& session, const CliOptions& options);    // ID...

// A file name for a bundle id: characters outside [A-Za-z0-9._-] become '_', a leading
// '.' is guarded and an empty id becomes "_", so the name never leaves its folder.
std::string SafeFileName(const std::string& bundle_id);

}  // namespace vadoctl
