// Turning backup encryption on: the password travels to the device over its backup service
// ("ChangePassword"), never through a command line or a file.
#pragma once

#include <string>

#include "common/dh_task.h"
#include "utility/ios/vado_device.h"

// Asks the device to encrypt its backups with `password`. True when the device answered
// the request with success; false when it refused (a password is set already, the password
// is empty), the service could not be started, the conversation failed or stalled, or
// `task` (may be null) was cancelled.
bool RequestBackupPassword(VadoDevice& device, DhTask* task, const std::string& password);
