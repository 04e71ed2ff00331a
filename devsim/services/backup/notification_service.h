// com.apple.mobile.notification_proxy: hosts observe and post notifications (the backup tool
// posts its sync notifications here). Observations are kept for the connection; nothing on
// the simulated device posts notifications yet, so none are relayed.
#pragma once

#include "lockdown/service_registry.h"

namespace devsim {

void ServeNotificationProxy(ServiceContext& ctx);

}  // namespace devsim
