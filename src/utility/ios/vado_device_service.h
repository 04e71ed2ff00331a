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

// Starts `name` without sharing: up to five attempts; a passcode-locked device gives
// error 48. With `afc`, also opens an AFC connection on the service.
ServicePtr StartService(AMDeviceRef device, int32_t* error, const std::string& name,
                        CFDictionaryRef options, bool afc);

// The factory every module uses.
ServicePtr GetService(AMDeviceRef device, int32_t* error, const std::string& name,
                      CFDictionaryRef options, bool afc);

// Forgets the device's shared AFC service on departure, so that requests after a
// re-attach start a fresh one while old holders finish with theirs.
void ForgetDeviceServices(AMDeviceRef device);

// Starts `name` once under the device's session and, if that fails, once more under a
// renewed session. Null on failure; `session` keeps the session alive while the caller
// uses the connection, which the caller invalidates.
AMDServiceConnectionRef StartSessionService(AMDeviceRef device, const char* name,
                                            SessionPtr* session);
