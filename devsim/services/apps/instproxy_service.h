// com.apple.mobile.installation_proxy over one connection: big-endian framed XML requests,
// each answered by the messages of instproxy_handler.
#pragma once

#include "lockdown/service_registry.h"

namespace devsim {

void ServeInstproxy(ServiceContext& ctx);

}  // namespace devsim
