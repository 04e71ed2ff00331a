// vadoctl's contacts, calendars, bookmarks and notes subcommands: list as JSON, add, edit
// and delete, with the push messages built from plain JSON descriptions.
#pragma once

#include <string>

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

// The subcommand is options.command, its action and arguments options.args.
int RunSyncCommand(DeviceSession& session, const CliOptions& options);
std::string SyncCommandsHelp();

}  // namespace vadoctl
