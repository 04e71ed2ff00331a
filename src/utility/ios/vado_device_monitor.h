// The process-wide list of attached devices. The monitor loads the device library,
// subscribes to device notifications and runs the library's run loop on a pool thread
// for the rest of the process's life; arrivals are paired, read and reported to every
// registered callback, and request modules look devices up here.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "utility/ios/vado_device.h"

class VadoClient;

// Start-up results of StartMonitoring.
enum MonitorStartResult : int32_t {
  kMonitorStarted = 0,
  kMonitorNoLibrary = 9,
  kMonitorSubscribeFailed = 11,
  kMonitorNoDeviceService = 14,
};

// Status notifications the monitor sends to the front end (run mode 0 only).
enum MonitorStatus : int32_t {
  kStatusDeviceGoneBeforeReady = 8,
  kStatusDeviceAttached = 11,
  kStatusDeviceError = 12,
};

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

  // Where status notifications go (the process-wide client at start-up).
  void SetStatusClient(VadoClient* client) { status_client_ = client; }

  // Starts monitoring on a pool thread and returns its start-up result (0, 9, 14, 11).
  // Called once by start-up with mutex() held; a second call returns 0 at once.
  int32_t StartMonitoring();

  // Loads the device's values and, when that works, marks it ready and tells every
  // callback; returns 0 or the error (reported to the front end in run mode 0). A device
  // already ready (another caller made it so meanwhile) returns 0 at once.
  int32_t DeviceReady(const VadoDevicePtr& device);

  // Fills the device's identity and storage figures; 0 or a device error code. The
  // caller holds the device's ready_mutex.
  int32_t LoadDeviceInfo(VadoDevice& device);

 private:
  static void OnNotification(AMDeviceNotificationCallbackInfo* info, void* context);
  void HandleNotification(AMDeviceRef handle, unsigned int message);
  int32_t InitMonitoring();
  void RunMonitorTask();
  // Renews the session and, when that works, makes the device ready. Runs on a pool
  // thread, so arrivals are readied in parallel and the monitor thread stays free.
  void PrepareDevice(const VadoDevicePtr& device, bool trusted);
  void QueuePrepare(const VadoDevicePtr& device, bool trusted);
  // DeviceReady's work; the caller holds the device's ready_mutex.
  int32_t DeviceReadyLocked(const VadoDevicePtr& device);
  // Status 12; a device whose identity is not loaded yet is named by what it reports
  // before pairing.
  void ReportError(const VadoDevice& device, int32_t error);
  void SendStatus(int32_t status, const VadoDevice* device);

  mutable std::mutex mutex_;
  std::list<VadoDevicePtr> devices_;                  // guarded by mutex_; arrival order
  std::map<int32_t, VadoDeviceCallback*> callbacks_;  // guarded by mutex_
  int32_t callback_counter_ = 0;                      // guarded by mutex_
  VadoClient* status_client_ = nullptr;

  // Start-up hand-off between StartMonitoring and the monitor task.
  std::mutex start_mutex_;
  std::condition_variable start_cv_;
  bool start_done_ = false;     // guarded by start_mutex_
  int32_t start_result_ = 0;    // guarded by start_mutex_
  bool running_ = false;        // guarded by start_mutex_
  AMDeviceNotificationRef subscription_ = nullptr;
};

// Major x 10 + minor of a product version ("12.4.1" → 124, "9.3" → 93).
uint32_t VersionNumber(const std::u16string& product_version);
