// Ends a backup-service run's blocking I/O from outside. Two things can do it: the run's task
// being cancelled (its cancel hook) and a device that makes no progress for the stall limit.
// Either invalidates the service connection, which wakes a reader blocked on it; the run
// then learns why from cancelled() or stalled() and ends with the matching code.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "common/dh_task.h"
#include "iOSAPI/mobile_device_api.h"
#include "utility/ios/vado_device.h"

// No progress for this long ends a run; $VADO_BACKUP_STALL_SECONDS (1..86400) overrides it.
std::chrono::seconds BackupStallLimit();

class RunWatch {
 public:
  // `task` may be null (nothing to cancel). The cancel hook is installed at once, so a
  // cancel that arrives before Watch() still stops the run as soon as it has a connection.
  RunWatch(VadoDevice& device, DhTask* task, std::chrono::seconds stall_limit);
  // Removes the hook (under the device's task lock, where cancels run it) and stops the timer.
  ~RunWatch();
  RunWatch(const RunWatch&) = delete;
  RunWatch& operator=(const RunWatch&) = delete;

  // Starts the stall timer over `connection`; interrupts it at once when already cancelled.
  void Watch(AMDServiceConnectionRef connection);
  // Forgets the connection before its owner closes it; the timer stops.
  void Release();
  // The device moved: restarts the stall timer.
  void Touch();

  // True once the task is cancelled (checked under the device's task lock).
  bool cancelled();
  bool stalled() const { return stalled_.load(); }

 private:
  static void OnCancel(void* context);
  void Interrupt();
  void TimerLoop();
  int64_t NowMs() const;

  VadoDevice& device_;
  DhTask* task_;
  const std::chrono::milliseconds limit_;
  std::atomic<int64_t> last_progress_ms_;
  std::atomic<bool> stalled_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  AMDServiceConnectionRef connection_ = nullptr;  // guarded by mutex_
  bool interrupted_ = false;                      // guarded by mutex_
  bool stop_ = false;                             // guarded by mutex_
  std::thread timer_;
};
