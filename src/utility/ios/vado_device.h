// One attached device: its library handle, identity texts, storage figures and the
// registry of its long-running tasks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/dh_task.h"
#include "iOSAPI/mobile_device_api.h"

// The device library's opaque handle; its numeric value is what the front end sees.
using DeviceRef = AMDeviceRef;

enum VadoDeviceState : int32_t {
  kDeviceReady = 1,
  kDeviceGone = 2,
  kDeviceAttached = 3,
  kDeviceTrustReceived = 4,
};

class VadoDevice {
 public:
  explicit VadoDevice(DeviceRef device) : device(device) {}
  VadoDevice(const VadoDevice&) = delete;
  VadoDevice& operator=(const VadoDevice&) = delete;

  // The handle as the integer the front end gets in "code".
  int64_t HandleValue() const { return static_cast<int64_t>(reinterpret_cast<intptr_t>(device)); }

  // State and figures change while requests read them, so they are atomic.
  std::atomic<int32_t> state{kDeviceAttached};
  const DeviceRef device = nullptr;
  std::atomic<int64_t> total_bytes{0};
  std::atomic<int64_t> free_bytes{0};
  // Identity texts: written once, by the monitor under its mutex, before the device is
  // ready or can be found by its identifier; read-only from then on.
  std::u16string model;
  std::u16string product_version;
  std::atomic<uint32_t> version_number{0};
  std::u16string name;
  std::u16string unique_device_id;
  std::u16string serial_number;
  std::u16string device_class;
  std::u16string chip_id;

  // The local copy of the device's message database that the messages module read last
  // (from a restricted backup or a snapshot); guarded by message_db_mutex.
  std::mutex message_db_mutex;
  std::string message_db_path;

  // The local copy of the device's photo database (empty until the first copy); guarded
  // by photo_db_mutex, which is also held while the copy is made.
  std::mutex photo_db_mutex;
  std::string photo_db_path;

  // Held while the device is being made ready (arrival, trust, command 15), so that
  // this never runs twice at once for one device.
  std::mutex ready_mutex;

  // The device's task registry; its mutex is the device's task lock.
  TaskRegistry tasks;
};

using VadoDevicePtr = std::shared_ptr<VadoDevice>;

// Receives device arrivals (1), departures (2) and the library's unknown message (3).
class VadoDeviceCallback {
 public:
  virtual ~VadoDeviceCallback() = default;
  virtual void OnDeviceEvent(const VadoDevicePtr& device, int event) = 0;
};

enum VadoDeviceEvent : int {
  kDeviceEventReady = 1,
  kDeviceEventGone = 2,
  kDeviceEventUnknown = 3,
};
