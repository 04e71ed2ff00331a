// com.apple.mobilesync over one connection: big-endian framed binary property lists carrying
// the DeviceLink conversation of sync_session, with the device's records in its sync/ folder.
#pragma once

#include "lockdown/service_registry.h"
#include "services/sync/sync_session.h"

namespace devsim {

// What a conversation on `device` needs: its sync folder, its settings, and which classes
// the lockdown data_sync and tethered_sync domains put in the cloud or turn off.
SyncSessionConfig SyncConfigFor(SimDevice& device);

void ServeMobileSync(ServiceContext& ctx);

}  // namespace devsim
