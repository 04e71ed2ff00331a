#include "md_errors.h"

namespace md {

int FromLockdown(lockdownd_error_t error) {
  switch (error) {
    case LOCKDOWN_E_SUCCESS: return kSuccess;
    case LOCKDOWN_E_INVALID_ARG: return kInvalidArgumentError;
    case LOCKDOWN_E_INVALID_CONF: return kInvalidPairRecordError;
    case LOCKDOWN_E_PLIST_ERROR:
    case LOCKDOWN_E_DICT_ERROR:
    case LOCKDOWN_E_INVALID_RESPONSE: return kInvalidResponseError;
    case LOCKDOWN_E_SSL_ERROR: return kSslError;
    case LOCKDOWN_E_RECEIVE_TIMEOUT: return kTimeOutError;
    case LOCKDOWN_E_MUX_ERROR: return kMuxError;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
    case LOCKDOWN_E_SESSION_INACTIVE: return kSessionInactiveError;
    case LOCKDOWN_E_MISSING_KEY: return kMissingKeyError;
    case LOCKDOWN_E_MISSING_VALUE: return kMissingValueError;
    case LOCKDOWN_E_GET_PROHIBITED: return kGetProhibitedError;
    case LOCKDOWN_E_SET_PROHIBITED:
    case LOCKDOWN_E_REMOVE_PROHIBITED: return kSetProhibitedError;
    case LOCKDOWN_E_IMMUTABLE_VALUE: return kImmutableValueError;
    case LOCKDOWN_E_PASSWORD_PROTECTED: return kPasswordProtectedError;
    case LOCKDOWN_E_USER_DENIED_PAIRING: return kUserDeniedPairingError;
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING: return kPairingDialogResponsePendingError;
    case LOCKDOWN_E_MISSING_HOST_ID: return kMissingHostIDError;
    case LOCKDOWN_E_INVALID_HOST_ID: return kInvalidHostIDError;
    case LOCKDOWN_E_SESSION_ACTIVE: return kSessionActiveError;
    case LOCKDOWN_E_MISSING_SERVICE: return kMissingServiceError;
    case LOCKDOWN_E_INVALID_SERVICE: return kInvalidServiceError;
    case LOCKDOWN_E_SERVICE_LIMIT: return kServiceLimitError;
    case LOCKDOWN_E_MISSING_PAIR_RECORD: return kMissingPairRecordError;
    case LOCKDOWN_E_INVALID_PAIR_RECORD: return kInvalidPairRecordError;
    case LOCKDOWN_E_SERVICE_PROHIBITED: return kServiceProhibitedError;
    case LOCKDOWN_E_ESCROW_LOCKED: return kEscrowLockedError;
    default: return kUndefinedError;
  }
}

const char* ErrorText(int error) {
  switch (error) {
    case kSuccess: return "Success";
    case kUndefinedError: return "Undefined error";
    case kNoResourcesError: return "No resources";
    case kReadError: return "Read error";
    case kWriteError: return "Write error";
    case kInvalidArgumentError: return "Invalid argument";
    case kNotConnectedError: return "Not connected";
    case kTimeOutError: return "Timed out";
    case kUnsupportedError: return "Unsupported";
    case kCryptoError: return "Crypto error";
    case kInvalidResponseError: return "Invalid response";
    case kMissingKeyError: return "Missing key";
    case kMissingValueError: return "Missing value";
    case kGetProhibitedError: return "Get prohibited";
    case kSetProhibitedError: return "Set prohibited";
    case kImmutableValueError: return "Immutable value";
    case kPasswordProtectedError: return "The device is passcode protected";
    case kMissingHostIDError: return "Missing host ID";
    case kInvalidHostIDError: return "Invalid host ID";
    case kSessionActiveError: return "Session active";
    case kSessionInactiveError: return "Session inactive";
    case kMissingServiceError: return "Missing service";
    case kInvalidServiceError: return "Invalid service";
    case kMissingPairRecordError: return "Missing pair record";
    case kInvalidPairRecordError: return "Invalid pair record";
    case kServiceLimitError: return "Service limit reached";
    case kEscrowLockedError: return "Escrow locked";
    case kDeviceDisconnectedError: return "The device is disconnected";
    case kServiceProhibitedError: return "Service prohibited";
    case kUserDeniedPairingError: return "The user denied pairing";
    case kPairingDialogResponsePendingError: return "Waiting for the user to trust this computer";
    case kMuxError: return "Cannot reach the device through the device service";
    case kSslError: return "Secure connection failed";
    default: return nullptr;
  }
}

}  // namespace md
