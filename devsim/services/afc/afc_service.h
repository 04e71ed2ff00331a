// com.apple.afc (the media folder) and com.apple.afc2 (the whole file system, jailbroken
// devices only) over one connection.
#pragma once

#include "services/afc/afc_session.h"
#include "lockdown/service_registry.h"

namespace devsim {

void ServeAfc(ServiceContext& ctx);
void ServeAfc2(ServiceContext& ctx);

// The GetDeviceInfo pairs of a device: Model, FSTotalBytes, FSFreeBytes, FSBlockSize.
KeyValues AfcDeviceInfo(SimDevice& device);

}  // namespace devsim
