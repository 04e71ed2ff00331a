#include "utility/ios/vado_device_service.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_errors.h"

namespace {

constexpr int kStartAttempts = 5;

// Locking: `mutex` guards the maps and the busy set and is never held across a call into
// the device library. Each device's starts are serialised by that device's own start
// mutex (one AFC start at a time, so concurrent users share one AFC connection), so a
// stalled start delays only requests for the same device.
struct DeviceStarts {
  std::mutex afc_start;    // held while the device's shared AFC service is started
  std::mutex other_start;  // held while one of the device's other services is started
};

struct ServiceRegistry {
  std::mutex mutex;
  std::condition_variable backup_released;
  std::map<AMDeviceRef, std::weak_ptr<VadoDeviceService>> afc;  // guarded by mutex
  std::set<std::string> busy_backups;                             // guarded by mutex
  // Never erased: device handles live as long as the process.
  std::map<AMDeviceRef, std::shared_ptr<DeviceStarts>> starts;    // guarded by mutex
};

ServiceRegistry& Services() {
  static ServiceRegistry* registry = new ServiceRegistry();
  return *registry;
}

std::shared_ptr<DeviceStarts> StartsOf(AMDeviceRef device) {
  ServiceRegistry& registry = Services();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::shared_ptr<DeviceStarts>& starts = registry.starts[device];
  if (!starts) starts = std::make_shared<DeviceStarts>();
  return starts;
}

// "com.apple.mobilebackup2-<handle as a pointer prints>".
std::string BackupKey(AMDeviceRef device) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s-%p", kBackupServiceName, static_cast<void*>(device));
  return text;
}

}  // namespace

VadoDeviceService::VadoDeviceService(AMDServiceConnectionRef connection, AFCConnectionRef afc,
                                     std::string name, AMDeviceRef device, SessionPtr session)
    : connection_(connection), afc_(afc), name_(std::move(name)), device_(device),
      session_(std::move(session)) {
  std::printf("VadoDeviceService: %p name: %s\n", static_cast<void*>(this), name_.c_str());
}

VadoDeviceService::~VadoDeviceService() {
  std::printf("~VadoDeviceService: %p name: %s\n", static_cast<void*>(this), name_.c_str());
  Close();
}

void VadoDeviceService::Close() {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  if (afc_ != nullptr) {
    fun.AFCConnectionClose(afc_);
    afc_ = nullptr;
  }
  if (connection_ != nullptr) {
    fun.AMDServiceConnectionInvalidate(connection_);
    connection_ = nullptr;
  }
  if (name_ == kBackupServiceName) {
    ServiceRegistry& registry = Services();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.busy_backups.erase(BackupKey(device_));
    registry.backup_released.notify_all();
  }
}

namespace {

// Starts `name` without sharing (see ServiceStartRetry for the attempts).
ServicePtr StartService(AMDeviceRef device, int32_t* error, const std::string& name,
                        CFDictionaryRef options, bool afc, ServiceStartRetry retry) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  CFStringRef cf_name = fun.__CFStringMakeConstantString(name.c_str());
  if (cf_name == nullptr) return nullptr;
  SessionPtr session = GetSession(device, error);
  if (!session) session = RenewSession(device, error);
  if (!session) return nullptr;

  AMDServiceConnectionRef connection = nullptr;
  int result = -1;
  if (retry == ServiceStartRetry::kRenewOnce) {
    result = fun.AMDeviceSecureStartService(device, cf_name, options, &connection);
    if (result != 0 || connection == nullptr) {
      connection = nullptr;
      session = RenewSession(device, error);
      if (!session) return nullptr;
      result = fun.AMDeviceSecureStartService(device, cf_name, options, &connection);
    }
  } else {
    for (int attempt = 0; attempt < kStartAttempts && result != 0; ++attempt) {
      result = fun.AMDeviceSecureStartService(device, cf_name, options, &connection);
    }
  }
  if (result != 0 || connection == nullptr) {
    if (result == kAMDPasswordProtectedError) *error = kDeviceErrorPasscodeLocked;
    return nullptr;
  }
  AFCConnectionRef afc_connection = nullptr;
  if (afc) {
    // AFC here speaks on the plain socket; a connection that needs a secure context
    // cannot be used for it.
    if (fun.AMDServiceConnectionGetSecureIOContext(connection) != nullptr) {
      fun.AMDServiceConnectionInvalidate(connection);
      return nullptr;
    }
    int socket = fun.AMDServiceConnectionGetSocket(connection);
    if (fun.AFCConnectionOpen(socket, 0, &afc_connection) != 0 || afc_connection == nullptr) {
      fun.AMDServiceConnectionInvalidate(connection);
      return nullptr;
    }
  }
  return std::make_shared<VadoDeviceService>(connection, afc_connection, name, device,
                                             std::move(session));
}

}  // namespace

ServicePtr GetService(AMDeviceRef device, int32_t* error, const std::string& name,
                      CFDictionaryRef options, bool afc, ServiceStartRetry retry) {
  ServiceRegistry& registry = Services();
  std::shared_ptr<DeviceStarts> starts = StartsOf(device);
  if (name == kAfcServiceName) {
    {
      std::lock_guard<std::mutex> lock(registry.mutex);
      if (ServicePtr live = registry.afc[device].lock()) return live;
    }
    std::lock_guard<std::mutex> start(starts->afc_start);
    // Another request may have started it while this one waited.
    {
      std::lock_guard<std::mutex> lock(registry.mutex);
      if (ServicePtr live = registry.afc[device].lock()) return live;
    }
    ServicePtr service =
        StartService(device, error, kAfcServiceName, nullptr, true, ServiceStartRetry::kFiveAttempts);
    if (service) {
      std::lock_guard<std::mutex> lock(registry.mutex);
      registry.afc[device] = service;
    }
    return service;
  }
  {
    std::unique_lock<std::mutex> lock(registry.mutex);
    std::string key = BackupKey(device);
    registry.backup_released.wait(lock, [&] { return registry.busy_backups.count(key) == 0; });
  }
  std::lock_guard<std::mutex> start(starts->other_start);
  return StartService(device, error, name, options, afc, retry);
}

void ForgetDeviceServices(AMDeviceRef device) {
  ServiceRegistry& registry = Services();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.afc.erase(device);
}
