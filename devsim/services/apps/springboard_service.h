// com.apple.springboardservices: home-screen icons and layout. Requests and replies are
// binary property lists with lower-camel-case keys, big-endian framed.
#pragma once

#include "services/apps/app_store.h"
#include "plist/plist_ptr.h"
#include "lockdown/service_registry.h"

namespace devsim {

// The reply to one request, or null when the command expects none (setIconState, unknown
// commands).
Plist HandleSpringboardRequest(plist_t request, const AppStore& apps);

void ServeSpringboard(ServiceContext& ctx);

}  // namespace devsim
