#include "utility/ios/vado_device_monitor.h"

#include "common/text_convert.h"

VadoDeviceMonitor& VadoDeviceMonitor::GetInstance() {
  static VadoDeviceMonitor* monitor = new VadoDeviceMonitor();
  return *monitor;
}

VadoDevicePtr VadoDeviceMonitor::FindDeviceById(const std::u16string& unique_device_id) const {
  for (const VadoDevicePtr& device : devices_) {
    if (device->unique_device_id == unique_device_id) return device;
  }
  return nullptr;
}

VadoDevicePtr VadoDeviceMonitor::FindDeviceByHandle(DeviceRef handle) const {
  for (const VadoDevicePtr& device : devices_) {
    if (device->device == handle) return device;
  }
  return nullptr;
}

void VadoDeviceMonitor::AddDevice(const VadoDevicePtr& device) { devices_.push_back(device); }

VadoDevicePtr VadoDeviceMonitor::RemoveDevice(DeviceRef handle) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if ((*it)->device == handle) {
      VadoDevicePtr device = *it;
      devices_.erase(it);
      return device;
    }
  }
  return nullptr;
}

int32_t VadoDeviceMonitor::AddCallback(VadoDeviceCallback* callback) {
  int32_t number = ++callback_counter_;
  callbacks_[number] = callback;
  return number;
}

void VadoDeviceMonitor::RemoveCallback(int32_t number) { callbacks_.erase(number); }

void VadoDeviceMonitor::Notify(const VadoDevicePtr& device, int event) {
  for (auto& [number, callback] : callbacks_) callback->OnDeviceEvent(device, event);
}

VadoDevicePtr VadoDeviceMonitor::FindByRequestId(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindDeviceById(Utf8ToUtf16(uuid));
}
