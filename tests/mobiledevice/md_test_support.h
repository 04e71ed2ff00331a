// Test support for the MobileDevice library: a simulator with a farm made by
// `vado-devsim mkfarm`, a run-loop thread that records device notifications, and small
// CF helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "md_api.h"
#include "sim_harness.h"

namespace md::testing {

constexpr auto kEventWait = std::chrono::seconds(30);

// A simulator on a private socket over a temporary farm; this process's libusbmuxd is
// pointed at it.
class Simulator {
 public:
  // Adds a device with `vado-devsim mkfarm DIR --seed SEED flags...`; returns its UDID.
  std::string AddDevice(uint64_t seed, const std::vector<std::string>& flags = {});
  // Starts the daemon and exports USBMUXD_SOCKET_ADDRESS.
  bool Start();
  // vado-devsim --socket PATH args...; true on exit status 0.
  bool Control(const std::vector<std::string>& args);
  devsim::testing::SimHarness& harness() { return harness_; }

 private:
  devsim::testing::SimHarness harness_;
};

struct Event {
  AMDeviceRef device;
  unsigned message;
  std::thread::id thread;
};

// A thread that subscribes to device notifications and runs the CF run loop, as the
// agent's monitor thread does.
class MonitorThread {
 public:
  MonitorThread();
  ~MonitorThread();  // unsubscribes on the loop thread, stops the loop, joins
  MonitorThread(const MonitorThread&) = delete;
  MonitorThread& operator=(const MonitorThread&) = delete;

  int subscribe_result() const { return subscribe_result_; }
  std::thread::id thread_id() const { return thread_.get_id(); }
  // Waits until an event matching `match` has been recorded; returns it (device null on
  // timeout). `from` skips the first events.
  Event WaitFor(const std::function<bool(const Event&)>& match, size_t from = 0);
  Event WaitForMessage(unsigned message, size_t from = 0);
  std::vector<Event> events();

 private:
  static void OnNotification(AMDeviceNotificationCallbackInfo* info, void* context);
  void Run();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;         // guarded by mutex_
  CFRunLoopRef loop_ = nullptr;       // guarded by mutex_
  bool ready_ = false;                // guarded by mutex_
  int subscribe_result_ = -1;
  AMDeviceNotificationRef subscription_ = nullptr;
};

// RAII for CF objects returned by Create/Copy functions.
class CfHolder {
 public:
  explicit CfHolder(CFTypeRef object = nullptr) : object_(object) {}
  ~CfHolder() {
    if (object_) CFRelease(object_);
  }
  CfHolder(const CfHolder&) = delete;
  CfHolder& operator=(const CfHolder&) = delete;
  CFTypeRef get() const { return object_; }

 private:
  CFTypeRef object_;
};

CFStringRef Str(const char* text);  // constant string, not released
std::string Utf8(CFTypeRef string);  // empty for a non-string
// A device's lockdown connection with a running session.
void OpenSession(AMDeviceRef device);

}  // namespace md::testing
