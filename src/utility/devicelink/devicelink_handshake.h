// The opening of every device-link service (the backup service and the sync service):
//   device → computer  ["DLMessageVersionExchange", major, minor]   (read whole, not checked)
//   computer → device  ["DLMessageVersionExchange", "DLVersionsOk", version]
//   device → computer  ["DLMessageDeviceReady"]   (other messages before it, a ping, are read past)
// The computer answers with its own version number; devices accept any.
#pragma once

#include <cstdint>

#include "iOSAPI/mobile_device_api.h"

// Runs the opening; true when the device's answer is "DLMessageDeviceReady". False when
// the offer cannot be read (or is longer than a message may be), the answer cannot be sent,
// or the device answered anything else.
bool DeviceLinkHandshake(AMDServiceConnectionRef connection, int64_t version);
