// Pairing with a device, and asking again in the background while its trust prompt is
// pending, until the user answers or the device goes away.
#pragma once

#include "md_api.h"

namespace md {

// Forgets a device's pairing state when it is detached (stops asking).
void PairingDeviceDetached(AMDeviceRef device);

// usbmuxd reported the device paired. True when message 4 should be posted now; false
// when it was already announced, or when our own request is still waiting (the background
// attempt is then made at once, and announces when it has saved the pair record).
bool PairingShouldAnnounce(AMDeviceRef device);

}  // namespace md
