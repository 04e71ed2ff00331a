// vadoctl's contacts, calendars, bookmarks and notes subcommands: list as JSON, add, edit
// and delete, with the push messages built from plain JSON descriptions.
#pragma once

#include <string>

namespace vadoctl {

bool IsSyncCommand(const std::string& word);
// argv[1] is the subcommand; returns the process exit status (the request's result code,
// or 1/2 for local failures and usage errors).
int RunSyncCommand(int argc, char** argv);
std::string SyncCommandsHelp();

}  // namespace vadoctl
