// Driver set-up subcommands of vadoctl: download, install and check the drivers, and
// restart the agent's device monitoring. None of them needs a device.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunDrivers(DeviceSession& session, const CliOptions& options);  // download URL | install [PATH...] | check
int RunRestartMonitoring(DeviceSession& session, const CliOptions& options);

}  // namespace vadoctl
