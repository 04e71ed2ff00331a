// In-process access to simulated devices through the agent's function table: loads the
// libraries named by build/bin/registry.reg, subscribes to device notifications and runs
// the run loop on a thread of its own, and hands out the attached devices.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "iOSAPI/MobileExportFun.h"
#include "sim_harness.h"

class DeviceWatcher {
 public:
  // Subscribes once per process (the library keeps its subscription for good).
  static DeviceWatcher& Get();

  // The attached device whose UniqueDeviceID is `udid`, waiting up to `seconds`.
  AMDeviceRef WaitForDevice(const std::string& udid, int seconds = 10);
  // Waits for the library's trust-authorisation message (4) about `device`.
  bool WaitForTrust(AMDeviceRef device, int seconds = 10);

 private:
  DeviceWatcher();
  static void OnNotification(AMDeviceNotificationCallbackInfo* info, void* context);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<AMDeviceRef, std::string> attached_;  // guarded by mutex_; handle → UDID or ""
  std::map<AMDeviceRef, bool> trusted_;          // guarded by mutex_
  std::thread run_loop_;
};

// A simulator with one farm, its socket exported to this process before first use.
class SimulatorFixture {
 public:
  SimulatorFixture();
  devsim::testing::SimHarness& sim() { return sim_; }
  // Adds a device, starts the daemon when it is not running yet, and waits for the
  // device through the library.
  AMDeviceRef Attach(const devsim::DeviceSpec& wanted, std::string* udid = nullptr);

 private:
  devsim::testing::SimHarness sim_;
};
