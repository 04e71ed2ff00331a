// A started device service (and, for "com.apple.afc", its AFC connection). Modules get
// services only through GetService: AFC is shared per device, other services are
// started one at a time per device; no lock shared between devices is held while a
// device answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "iOSAPI/mobile_device_api.h"
#include "utility/ios/vado_device_connection.h"

inline constexpr const char* kAfcServiceName = "com.apple.afc";
inline constexpr const char* kBackupServiceName = "com.apple.mobilebackup2";

class VadoDeviceService {
 public:
  VadoDeviceService(AMDServiceConnectionRef connection, AFCConnectionRef afc, std::string name,
                    AMDeviceRef device, SessionPtr session);
  ~VadoDeviceService();
  VadoDeviceService(const VadoDeviceService&) = delete;
  VadoDeviceService& operator=(const VadoDeviceService&) = delete;

  // Closes the AFC connection and the service connection; idempotent.
  void Close();

  AMDServiceConnectionRef connection() const { return connection_; }
  AFCConnectionRef afc() const { return afc_; }
  const std::string& name() const { return name_; }
  AMDeviceRef device() const { return device_; }

 private:
  AMDServiceConnectionRef connection_;
  AFCConnectionRef afc_;
  std::string name_;
  AMDeviceRef device_;
  SessionPtr session_;  // keeps the session alive while the service lives
};

using ServicePtr = std::shared_ptr<VadoDeviceService>;

// How a service start is retried.
enum class ServiceStartRetry {
  // Up to five starts under the device's session (a renewed one if none is live); a
  // passcode-locked device gives error 48.
  kFiveAttempts,
  // One start under the device's session and, if that fails, one more under a renewed
  // session (the diagnostics relay and AirTraffic, whose session may have gone stale).
  kRenewOnce,
};

// The one way to start a device service. Every caller, module or engine, goes through it:
// - "com.apple.afc" is shared: all users of one device hold the same service and AFC
//   connection until the last one lets go; it always uses kFiveAttempts.
// - Every other service is started for its caller alone, with `retry`; starts for one
//   device run one at a time, so a stalled device delays only its own requests.
// `options` are passed to the device (the backup service takes some; null otherwise);
// `afc` also opens an AFC connection on the service. Empty on failure, with the session or
// passcode error in `error`. Closing the returned service (or dropping the last holder)
// invalidates its connection.
ServicePtr GetService(AMDeviceRef device, int32_t* error, const std::string& name,
                      CFDictionaryRef options, bool afc,
                      ServiceStartRetry retry = ServiceStartRetry::kFiveAttempts);

// Forgets the device's shared AFC service on departure, so that requests after a
// re-attach start a fresh one while old holders finish with theirs.
void ForgetDeviceServices(AMDeviceRef device);
