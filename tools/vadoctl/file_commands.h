// vadoctl's file transfer subcommands: pull (702), push (703), copy-out (701)
// and cancel (600).
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunPull(DeviceSession& session, const CliOptions& options);
int RunPush(DeviceSession& session, const CliOptions& options);
// copy-out NAME DEVICE_PATH LOCAL_DIR [NAME DEVICE_PATH LOCAL_DIR ...] (701).
int RunCopyOut(DeviceSession& session, const CliOptions& options);
int RunCancel(DeviceSession& session, const CliOptions& options);

}  // namespace vadoctl
