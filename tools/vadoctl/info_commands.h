// Device information subcommands of vadoctl.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunInfo(DeviceSession& session, const CliOptions& options);
int RunRename(DeviceSession& session, const CliOptions& options);  // args: NAME

}  // namespace vadoctl
