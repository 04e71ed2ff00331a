// A libimobiledevice AFC client connected to a simulated device (lockdown handshake,
// StartService, AFC), released in reverse order.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <map>
#include <string>

namespace devsim::testing {

class AfcConnection {
 public:
  // USBMUXD_SOCKET_ADDRESS must already point at the daemon.
  AfcConnection(const std::string& udid, const char* service = "com.apple.afc");
  ~AfcConnection();
  AfcConnection(const AfcConnection&) = delete;
  AfcConnection& operator=(const AfcConnection&) = delete;

  afc_client_t get() const { return afc_; }
  explicit operator bool() const { return afc_ != nullptr; }
  lockdownd_error_t start_error() const { return start_error_; }

  // Convenience wrappers over the key/value lists libimobiledevice returns.
  std::map<std::string, std::string> FileInfo(const std::string& path, afc_error_t* err) const;
  std::map<std::string, std::string> DeviceInfo() const;
  bool WriteFile(const std::string& path, const std::string& bytes) const;
  bool ReadFile(const std::string& path, std::string* bytes) const;

 private:
  idevice_t device_ = nullptr;
  afc_client_t afc_ = nullptr;
  lockdownd_error_t start_error_ = LOCKDOWN_E_UNKNOWN_ERROR;
};

}  // namespace devsim::testing
