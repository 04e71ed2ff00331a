#include "mux/device_table.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>

#include "mux/usbmux_wire.h"

namespace devsim {
namespace {

std::string NotificationPacket(plist_t body) { return usbmux::EncodePlistPacket(0, body); }

void SendQuietly(int fd, const std::string& packet) {
  size_t done = 0;
  while (done < packet.size()) {
    ssize_t n = send(fd, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // a listener that stopped reading loses its notifications
    done += static_cast<size_t>(n);
  }
}

}  // namespace

Plist AttachedRecord(const AttachedDevice& d) {
  Plist props = NewDict();
  const SimDevice& dev = *d.device;
  if (dev.wifi()) {
    SetString(props.get(), "ConnectionType", "Network");
    SetData(props.get(), "NetworkAddress", dev.network_address());
    SetUint(props.get(), "InterfaceIndex", 3);
  } else {
    SetUint(props.get(), "ConnectionSpeed", 480000000);
    SetString(props.get(), "ConnectionType", "USB");
    SetUint(props.get(), "LocationID", dev.location_id());
    SetUint(props.get(), "ProductID", dev.product_id());
  }
  SetUint(props.get(), "DeviceID", d.id);
  SetString(props.get(), "SerialNumber", dev.udid());
  Plist rec = NewDict();
  SetUint(rec.get(), "DeviceID", d.id);
  SetString(rec.get(), "MessageType", "Attached");
  SetNode(rec.get(), "Properties", std::move(props));
  return rec;
}

bool DeviceTable::Attach(const std::string& udid, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& a : attached_) {
    if (a.device->udid() == udid) return true;
  }
  std::shared_ptr<SimDevice> dev;
  auto it = loaded_.find(udid);
  if (it != loaded_.end()) {
    dev = it->second;
  } else {
    if (!IsSafeIdentifier(udid)) {
      *error = "not a device identifier: " + udid;
      return false;
    }
    dev = SimDevice::Load(farm_.DeviceDir(udid), error);
    if (!dev) return false;
    if (dev->udid() != udid) {
      *error = "folder " + udid + " holds device " + dev->udid();
      return false;
    }
    if (unplug_action_) {
      dev->SetUnplugHandler([action = unplug_action_, udid] { action(udid); });
    }
    loaded_[udid] = dev;
  }
  AttachedDevice a{next_id_++, dev};
  attached_.push_back(a);
  Plist rec = AttachedRecord(a);
  BroadcastLocked(NotificationPacket(rec.get()));
  return true;
}

bool DeviceTable::Detach(const std::string& udid) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(attached_.begin(), attached_.end(),
                         [&](const AttachedDevice& a) { return a.device->udid() == udid; });
  if (it == attached_.end()) return false;
  uint32_t id = it->id;
  attached_.erase(it);
  Plist msg = NewDict();
  SetUint(msg.get(), "DeviceID", id);
  SetString(msg.get(), "MessageType", "Detached");
  BroadcastLocked(NotificationPacket(msg.get()));
  return true;
}

std::vector<AttachedDevice> DeviceTable::Attached() const {
  std::lock_guard<std::mutex> lock(mu_);
  return attached_;
}

bool DeviceTable::FindById(uint32_t id, AttachedDevice* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& a : attached_) {
    if (a.id == id) {
      *out = a;
      return true;
    }
  }
  return false;
}

bool DeviceTable::FindByUdid(const std::string& udid, AttachedDevice* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& a : attached_) {
    if (a.device->udid() == udid) {
      *out = a;
      return true;
    }
  }
  return false;
}

std::shared_ptr<SimDevice> DeviceTable::Known(const std::string& udid) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = loaded_.find(udid);
  return it == loaded_.end() ? nullptr : it->second;
}

void DeviceTable::AddListener(int fd, uint32_t tag) {
  // Notifications are sent under mu_: a listener that stops reading must not hold it for long.
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::lock_guard<std::mutex> lock(mu_);
  std::string packet = usbmux::EncodeResultPacket(tag, usbmux::kResultOk);
  for (const auto& a : attached_) {
    Plist rec = AttachedRecord(a);
    packet += NotificationPacket(rec.get());
  }
  SendQuietly(fd, packet);
  listeners_.push_back(fd);
}

void DeviceTable::RemoveListener(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), fd), listeners_.end());
}

void DeviceTable::NotifyPaired(uint32_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  Plist msg = NewDict();
  SetUint(msg.get(), "DeviceID", id);
  SetString(msg.get(), "MessageType", "Paired");
  BroadcastLocked(NotificationPacket(msg.get()));
}

size_t DeviceTable::ListenerCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return listeners_.size();
}

void DeviceTable::BroadcastLocked(const std::string& packet) {
  for (int fd : listeners_) SendQuietly(fd, packet);
}

}  // namespace devsim
