// One backup-service run (backup, restore, password change) per device at a time: the device
// serves one conversation, and two backups of one device started in the same second would
// otherwise be given the same folder. The registry is locked only to look and to mark; no
// lock is held while the run talks to the device.
#pragma once

#include <functional>
#include <string>

class DeviceRunLock {
 public:
  // Waits until no other run holds `udid`, polling `give_up` (for example a cancelled task)
  // while it waits; held() tells whether the wait ended with the lock.
  DeviceRunLock(std::string udid, const std::function<bool()>& give_up);
  ~DeviceRunLock();
  DeviceRunLock(const DeviceRunLock&) = delete;
  DeviceRunLock& operator=(const DeviceRunLock&) = delete;

  bool held() const { return held_; }

 private:
  std::string udid_;
  bool held_ = false;
};
