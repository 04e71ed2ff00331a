// com.apple.mobilebackup2: the DeviceLink version exchange, Hello, then the host's requests
// (Backup, Restore, ChangePassword, EnableCloudBackup) until the host says goodbye.
#pragma once

#include "lockdown/service_registry.h"

namespace devsim {

void ServeBackup(ServiceContext& ctx);

}  // namespace devsim
