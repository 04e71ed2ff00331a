// The process-wide list of attached devices and the callbacks that hear about them.
// Device discovery feeds it; request modules look devices up in it.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "utility/ios/vado_device.h"

class VadoDeviceMonitor {
 public:
  static VadoDeviceMonitor& GetInstance();

  // Guards the device list and the callback map.
  std::mutex& mutex() { return mutex_; }

  // The following are called with mutex() held.
  VadoDevicePtr FindDeviceById(const std::u16string& unique_device_id) const;
  VadoDevicePtr FindDeviceByHandle(DeviceRef device) const;
  void AddDevice(const VadoDevicePtr& device);
  VadoDevicePtr RemoveDevice(DeviceRef device);
  int32_t AddCallback(VadoDeviceCallback* callback);
  void RemoveCallback(int32_t number);
  // Calls OnDeviceEvent of every callback in registration order.
  void Notify(const VadoDevicePtr& device, int event);

  // Looks up the device a request names by its UTF-8 "uuid", taking the lock.
  VadoDevicePtr FindByRequestId(const std::string& uuid);

 private:
  mutable std::mutex mutex_;
  std::list<VadoDevicePtr> devices_;                  // guarded by mutex_; arrival order
  std::map<int32_t, VadoDeviceCallback*> callbacks_;  // guarded by mutex_
  int32_t callback_counter_ = 0;                      // guarded by mutex_
};
