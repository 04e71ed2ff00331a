// vadoctl's application subcommands: apps, icons, install, uninstall, archive. Each picks
// the device (--udid, or the first that arrives), sends its request and prints what comes
// back: JSON lines or readable text, progress bars on a terminal.
#pragma once

#include <atomic>
#include <string>

#include "cli_options.h"
#include "frontend_link.h"

namespace vadoctl {

bool IsAppCommand(const std::string& command);

// Runs the subcommand on a connected agent; returns the process exit status (0 success,
// 1 a failure the agent reported, 3 no answer).
int RunAppCommand(const CliOptions& options, FrontEndLink& link, const std::atomic<bool>& stop);

// A file name for a bundle id: characters outside [A-Za-z0-9._-] become '_', a leading
// '.' is guarded and an empty id becomes "_", so the name never leaves its folder.
std::string SafeFileName(const std::string& bundle_id);

}  // namespace vadoctl
