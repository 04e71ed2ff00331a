// Result codes of the device functions: 0 is success, failures are in the 0xE80000xx
// family. AFC functions return AFC status numbers instead (see afc_wire.h).
#pragma once

#include <libimobiledevice/lockdown.h>

#include <cstdint>

namespace md {

enum : int {
  kSuccess = 0,
  kUndefinedError = static_cast<int>(0xE8000001),
  kNoResourcesError = static_cast<int>(0xE8000003),
  kReadError = static_cast<int>(0xE8000004),
  kWriteError = static_cast<int>(0xE8000005),
  kInvalidArgumentError = static_cast<int>(0xE8000007),
  kNotConnectedError = static_cast<int>(0xE800000B),
  kTimeOutError = static_cast<int>(0xE800000C),
  kUnsupportedError = static_cast<int>(0xE800000F),
  kCryptoError = static_cast<int>(0xE8000012),
  kInvalidResponseError = static_cast<int>(0xE8000013),
  kMissingKeyError = static_cast<int>(0xE8000014),
  kMissingValueError = static_cast<int>(0xE8000015),
  kGetProhibitedError = static_cast<int>(0xE8000016),
  kSetProhibitedError = static_cast<int>(0xE8000017),
  kImmutableValueError = static_cast<int>(0xE8000019),
  kPasswordProtectedError = static_cast<int>(0xE800001A),
  kMissingHostIDError = static_cast<int>(0xE800001B),
  kInvalidHostIDError = static_cast<int>(0xE800001C),
  kSessionActiveError = static_cast<int>(0xE800001D),
  kSessionInactiveError = static_cast<int>(0xE800001E),
  kMissingServiceError = static_cast<int>(0xE8000021),
  kInvalidServiceError = static_cast<int>(0xE8000022),
  kMissingPairRecordError = static_cast<int>(0xE8000025),
  kInvalidPairRecordError = static_cast<int>(0xE8000026),
  kServiceLimitError = static_cast<int>(0xE800005B),
  kEscrowLockedError = static_cast<int>(0xE8000081),
  kDeviceDisconnectedError = static_cast<int>(0xE8000084),
  kServiceProhibitedError = static_cast<int>(0xE8000087),
  kUserDeniedPairingError = static_cast<int>(0xE8000095),
  kPairingDialogResponsePendingError = static_cast<int>(0xE8000096),
  kMuxError = static_cast<int>(0xE80000A0),
  kSslError = static_cast<int>(0xE80000A1),
};

// Maps a lockdown result to the codes above.
int FromLockdown(lockdownd_error_t error);

// Short English description of a code above, or null for an unknown one.
const char* ErrorText(int error);

}  // namespace md
