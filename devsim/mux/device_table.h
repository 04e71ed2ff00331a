// The devices the mux daemon knows and which of them are attached, with their mux handles,
// and the clients in Listen mode that hear about every change.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "farm/farm.h"
#include "plist/plist_ptr.h"
#include "lockdown/sim_device.h"

namespace devsim {

struct AttachedDevice {
  uint32_t id = 0;  // mux handle, > 0, new on every attach
  std::shared_ptr<SimDevice> device;
};

// The Attached record of one device, as ListDevices and Listen send it.
Plist AttachedRecord(const AttachedDevice& d);

class DeviceTable {
 public:
  explicit DeviceTable(Farm& farm) : farm_(farm) {}
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Attaches a farm device (loading it on first use) and tells every listener.
  bool Attach(const std::string& udid, std::string* error);
  // Detaches and tells every listener; false when it was not attached.
  bool Detach(const std::string& udid);

  std::vector<AttachedDevice> Attached() const;
  bool FindById(uint32_t id, AttachedDevice* out) const;
  bool FindByUdid(const std::string& udid, AttachedDevice* out) const;
  // What pulling a device's cable does (detach, drop its connections); devices loaded from
  // now on get it as their unplug handler. Set once, before the first Attach.
  void SetUnplugAction(std::function<void(const std::string& udid)> action) {
    unplug_action_ = std::move(action);
  }
  // A device loaded earlier, attached or not.
  std::shared_ptr<SimDevice> Known(const std::string& udid) const;

  // Listen clients. AddListener sends the current devices to the new listener (after the
  // caller's Result) under the same lock that orders every notification.
  void AddListener(int fd, uint32_t tag);
  void RemoveListener(int fd);
  // Sends a Paired notification for an attached device.
  void NotifyPaired(uint32_t id);
  size_t ListenerCount() const;

 private:
  void BroadcastLocked(const std::string& packet);  // caller holds mu_

  Farm& farm_;
  mutable std::mutex mu_;  // guards everything below and orders notifications
  std::map<std::string, std::shared_ptr<SimDevice>> loaded_;
  std::vector<AttachedDevice> attached_;  // in attach order
  uint32_t next_id_ = 1;
  std::vector<int> listeners_;
  std::function<void(const std::string&)> unplug_action_;
};

}  // namespace devsim
