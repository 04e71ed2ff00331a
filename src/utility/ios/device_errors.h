// Error codes of the device layers, reported to the front end by the callers.
#pragma once

#include <cstdint>

enum DeviceError : int32_t {
  kDeviceErrorNone = 0,
  kDeviceErrorUnsupportedFirmware = 3,
  kDeviceErrorAfcService = 12,
  kDeviceErrorAfcInfo = 17,
  kDeviceErrorNoConnection = 24,
  kDeviceErrorNotPaired = 25,
  kDeviceErrorPairingInvalid = 26,
  // The device reports an identifier that is not one, or not its own: it fails
  // validation like a pairing that does not hold.
  kDeviceErrorBadIdentifier = 26,
  kDeviceErrorSessionStart = 27,
  kDeviceErrorPasscodeLocked = 48,
  kDeviceErrorNoSession = 49,
};

// What AMDeviceSecureStartService returns for a device locked with a passcode.
inline constexpr int kAMDPasswordProtectedError = static_cast<int>(0xE800001A);
