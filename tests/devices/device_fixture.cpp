#include "device_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/cf_value_convert.h"
#include "utility/ios/device_values.h"

DeviceWatcher& DeviceWatcher::Get() {
  static DeviceWatcher* watcher = new DeviceWatcher();
  return *watcher;
}

DeviceWatcher::DeviceWatcher() {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  if (!fun.Init()) {
    ADD_FAILURE() << "the device libraries named by registry.reg did not load";
    return;
  }
  std::mutex started_mutex;
  std::condition_variable started_cv;
  bool started = false;
  run_loop_ = std::thread([&, this] {
    AMDeviceNotificationRef subscription = nullptr;
    CMobileExportFun& f = CMobileExportFun::GetInstance();
    f.AMDeviceNotificationSubscribe(&DeviceWatcher::OnNotification, 0, 0, this, &subscription);
    {
      // Notified under the lock: the waiting constructor destroys the condition variable
      // as soon as it sees the flag.
      std::lock_guard<std::mutex> lock(started_mutex);
      started = true;
      started_cv.notify_all();
    }
    f.CFRunLoopRun();
  });
  std::unique_lock<std::mutex> lock(started_mutex);
  started_cv.wait(lock, [&] { return started; });
  run_loop_.detach();
}

void DeviceWatcher::OnNotification(AMDeviceNotificationCallbackInfo* info, void* context) {
  auto* self = static_cast<DeviceWatcher*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (info->message == 1) self->attached_[info->device] = "";
  if (info->message == 2) self->attached_.erase(info->device);
  if (info->message == 4) self->trusted_[info->device] = true;
  self->changed_.notify_all();
}

AMDeviceRef DeviceWatcher::WaitForDevice(const std::string& udid, int seconds) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    std::vector<AMDeviceRef> unknown;
    for (auto& [handle, known] : attached_) {
      if (known == udid) return handle;
      if (known.empty()) unknown.push_back(handle);
    }
    // Identify new handles without holding the lock: the run loop thread takes it.
    lock.unlock();
    std::map<AMDeviceRef, std::string> found;
    for (AMDeviceRef handle : unknown) {
      if (fun.AMDeviceConnect(handle) != 0) continue;
      PlistValue value;
      if (GetDeviceValue(handle, "", "UniqueDeviceID", &value)) {
        std::string text;
        for (char16_t c : value.text()) text += static_cast<char>(c);
        found[handle] = text;
      }
      fun.AMDeviceDisconnect(handle);
    }
    lock.lock();
    for (auto& [handle, text] : found) {
      auto it = attached_.find(handle);
      if (it != attached_.end()) it->second = text;
    }
    if (!found.empty()) continue;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    changed_.wait_for(lock, std::chrono::milliseconds(200));
  }
}

bool DeviceWatcher::WaitForTrust(AMDeviceRef device, int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return trusted_[device]; });
}

SimulatorFixture::SimulatorFixture() {}

AMDeviceRef SimulatorFixture::Attach(const devsim::DeviceSpec& wanted, std::string* udid_out) {
  std::string udid = sim_.AddDevice(wanted);
  if (udid.empty()) return nullptr;
  if (!sim_.running()) {
    if (!sim_.Start()) return nullptr;
    sim_.ExportSocket();
  } else {
    sim_.Control({"plug", udid});
  }
  if (udid_out != nullptr) *udid_out = udid;
  return DeviceWatcher::Get().WaitForDevice(udid);
}
