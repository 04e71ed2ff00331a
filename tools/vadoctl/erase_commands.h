// vadoctl's wipe subcommands: wipe (1700: private data, applications, then a restore) and
// wipe-free (1701: overwrite the free space). Ctrl-C cancels the agent's task (600).
#pragma once

#include <string>

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunWipe(DeviceSession& session, const CliOptions& options);      // --backup DIR [--password P]
int RunWipeFree(DeviceSession& session, const CliOptions& options);  // --level N

// The request bodies (JSON text) of the two commands; `source` is the udid the backup
// was made from.
std::string WipeBody(const std::string& backup_dir, const std::string& source,
                     const std::string& password);
std::string WipeFreeBody(int64_t level);

}  // namespace vadoctl
