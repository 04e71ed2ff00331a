// Device objects and the lockdown conversation with each device.
//
// A device object stands for one device on one interface (USB or network) and lives as long
// as the process: the agent keeps device handles in its own tables after a detach, so a
// handle must never dangle. Re-attaching the same device on the same interface reuses the
// object with the new mux handle.
#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <usbmuxd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "md_api.h"

namespace md {

constexpr int kInterfaceUsb = 1;
constexpr int kInterfaceNetwork = 2;

// One libimobiledevice handle for a device at one mux handle. Services and pairing
// attempts hold their own reference, so a detach never frees a handle still in use.
class DeviceLink {
 public:
  // `attachment` counts the device's attaches: a mux handle may repeat after usbmuxd
  // restarts, an attachment number never does.
  DeviceLink(idevice_t device, uint64_t attachment) : device_(device), attachment_(attachment) {}
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;
  idevice_t get() const { return device_; }
  uint64_t attachment() const { return attachment_; }

 private:
  idevice_t device_;
  uint64_t attachment_;
};

// Label sent with lockdown requests.
const char* LockdownLabel();

// Records an attach; returns the device object (created on first sight).
AMDeviceRef AttachDevice(const usbmuxd_device_info_t& info);
// Records a detach; returns the device when it was attached under that handle, else null.
AMDeviceRef DetachDevice(const usbmuxd_device_info_t& info);
// Devices attached now, in first-seen order.
std::vector<AMDeviceRef> AttachedDevices();
// True when `device` is an object this library handed out (safe on any pointer value).
bool IsDevice(AMDeviceRef device);
const std::string& DeviceUdid(AMDeviceRef device);
bool DeviceAttached(AMDeviceRef device);

// A fresh libimobiledevice handle for the device's current attachment.
int OpenLink(AMDeviceRef device, std::shared_ptr<DeviceLink>* link);

// The pair record may have changed (pairing ran): read it again before the next use.
void ForgetPairing(AMDeviceRef device);

// The pair record usbmuxd keeps for `udid`, parsed; null when there is none.
plist_t ReadPairRecord(const std::string& udid);

// Starts a service through the device's lockdown session (which must be running).
// On success `link` is the handle the service connection is to be made with.
int StartLockdownService(AMDeviceRef device, const char* name, bool with_escrow_bag,
                         lockdownd_service_descriptor_t* service,
                         std::shared_ptr<DeviceLink>* link);

}  // namespace md
