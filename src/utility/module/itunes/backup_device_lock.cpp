#include "utility/module/itunes/backup_device_lock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace {

struct RunRegistry {
  std::mutex mutex;
  std::condition_variable released;
  std::set<std::string> busy;  // guarded by mutex
};

RunRegistry& Runs() {
  static RunRegistry* registry = new RunRegistry();
  return *registry;
}

// How often a waiting run asks whether it should give up.
constexpr std::chrono::milliseconds kPoll(100);

}  // namespace

DeviceRunLock::DeviceRunLock(std::string udid, const std::function<bool()>& give_up)
    : udid_(std::move(udid)) {
  RunRegistry& runs = Runs();
  std::unique_lock<std::mutex> lock(runs.mutex);
  while (runs.busy.count(udid_) != 0) {
    lock.unlock();
    if (give_up && give_up()) return;
    lock.lock();
    runs.released.wait_for(lock, kPoll, [&] { return runs.busy.count(udid_) == 0; });
  }
  runs.busy.insert(udid_);
  held_ = true;
}

DeviceRunLock::~DeviceRunLock() {
  if (!held_) return;
  RunRegistry& runs = Runs();
  std::lock_guard<std::mutex> lock(runs.mutex);
  runs.busy.erase(udid_);
  runs.released.notify_all();
}
