// Device notifications: one watch on usbmuxd for the whole library, fanned out to every
// subscription through the run loop of the thread that subscribed.
#pragma once

#include "md_api.h"

namespace md {

// Message 4: the device has become paired with this computer.
constexpr unsigned kMessageTrustAuthorization = 4;

// Posts `message` for `device` to every active subscription.
void PostToAll(AMDeviceRef device, unsigned message);

}  // namespace md
