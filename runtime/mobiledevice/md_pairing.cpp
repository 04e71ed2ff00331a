#include "md_pairing.h"

#include <libimobiledevice/lockdown.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <cstdlib>
#include <thread>

#include "md_device.h"
#include "md_errors.h"
#include "md_lockdown.h"
#include "md_notify.h"
#include "sigpipe_guard.h"

namespace md {
namespace {

constexpr auto kRetryInterval = std::chrono::seconds(1);
// Consecutive failures other than "waiting for the user" after which asking stops.
constexpr int kMaxOtherFailures = 5;

struct PairState {
  bool pending = false;    // asking again in the background
  bool announced = false;  // message 4 posted since the last detach or new request
  int other_failures = 0;
};

// Never destroyed: the worker thread waits on them for the life of the process, and
// destroying a condition variable with a waiter blocks at exit.
std::mutex& g_pair_mutex = *new std::mutex();
std::condition_variable& g_pair_wake = *new std::condition_variable();
std::map<AMDeviceRef, PairState>* g_pairs = new std::map<AMDeviceRef, PairState>();  // g_pair_mutex
std::condition_variable& g_pair_idle = *new std::condition_variable();
bool g_kicked = false;         // g_pair_mutex; an attempt is wanted before the interval ends
bool g_worker_started = false;  // g_pair_mutex
bool g_asking = false;          // g_pair_mutex; the worker is inside an attempt
bool g_exiting = false;         // g_pair_mutex; the process is running its exit handlers

// Runs at exit: lets an attempt in progress finish and keeps the worker from starting
// another, so it never uses libimobiledevice or OpenSSL while they are torn down.
void StopAskingAtExit() {
  std::unique_lock<std::mutex> lock(g_pair_mutex);
  g_exiting = true;
  g_pair_idle.wait(lock, [] { return !g_asking; });
}

// One Pair request on a fresh lockdown connection. libimobiledevice generates the host's
// keys and, on success, saves the pair record through usbmuxd.
int AskDevice(AMDeviceRef device) {
  SigpipeGuard guard;
  std::shared_ptr<DeviceLink> link;
  int rc = OpenLink(device, &link);
  if (rc != kSuccess) return rc;
  lockdownd_client_t client = nullptr;
  lockdownd_error_t lerr = NewLockdownClient(link, ExchangeLimit(), &client);
  if (lerr != LOCKDOWN_E_SUCCESS) return FromLockdown(lerr);
  // Pair waits for the user on the device's side, not for the wire: no deadline here.
  if (int fd = LockdownSocket(client, link->get()); fd >= 0) MakeBlocking(fd);
  lerr = lockdownd_pair(client, nullptr);
  lockdownd_client_free(client);
  // A new pair record (or a refusal after an old one was dropped) replaces what is known.
  ForgetPairing(device);
  return FromLockdown(lerr);
}

bool KeepsWaiting(int rc) {
  return rc == kPairingDialogResponsePendingError || rc == kPasswordProtectedError;
}

// Records a finished attempt; true when message 4 is to be posted.
bool RecordResultLocked(AMDeviceRef device, int rc) {
  PairState& state = (*g_pairs)[device];
  if (rc == kSuccess) {
    state.pending = false;
    state.other_failures = 0;
    if (state.announced) return false;
    state.announced = true;
    return true;
  }
  if (KeepsWaiting(rc)) {
    state.other_failures = 0;
    return false;
  }
  if (rc == kUserDeniedPairingError || ++state.other_failures >= kMaxOtherFailures) {
    state.pending = false;
  }
  return false;
}

void WorkerLoop() {
  std::unique_lock<std::mutex> lock(g_pair_mutex);
  for (;;) {
    g_pair_wake.wait_for(lock, kRetryInterval, [] { return g_kicked; });
    g_kicked = false;
    std::vector<AMDeviceRef> due;
    for (const auto& [device, state] : *g_pairs) {
      if (state.pending) due.push_back(device);
    }
    for (AMDeviceRef device : due) {
      if (g_exiting) break;
      g_asking = true;
      lock.unlock();
      const int rc = DeviceAttached(device) ? AskDevice(device) : kDeviceDisconnectedError;
      lock.lock();
      g_asking = false;
      g_pair_idle.notify_all();
      if (g_exiting) break;
      auto it = g_pairs->find(device);
      // Detached (or answered by a direct request) while we asked: drop the answer.
      if (it == g_pairs->end() || !it->second.pending) continue;
      if (RecordResultLocked(device, rc)) {
        lock.unlock();
        PostToAll(device, kMessageTrustAuthorization);
        lock.lock();
      }
    }
    if (g_exiting) {
      g_pair_wake.wait(lock, [] { return false; });  // parked until the process ends
    }
    if (g_pairs->empty()) {
      g_pair_wake.wait(lock, [] { return !g_pairs->empty(); });
    }
  }
}

// g_pair_mutex held.
void StartAskingLocked(AMDeviceRef device) {
  PairState& state = (*g_pairs)[device];
  state.pending = true;
  state.announced = false;
  state.other_failures = 0;
  if (!g_worker_started) {
    g_worker_started = true;
    std::atexit(StopAskingAtExit);
    std::thread(WorkerLoop).detach();
  }
  g_pair_wake.notify_all();
}

}  // namespace

void PairingDeviceDetached(AMDeviceRef device) {
  std::lock_guard<std::mutex> lock(g_pair_mutex);
  g_pairs->erase(device);
}

bool PairingShouldAnnounce(AMDeviceRef device) {
  std::lock_guard<std::mutex> lock(g_pair_mutex);
  PairState& state = (*g_pairs)[device];
  if (state.pending) {
    g_kicked = true;
    g_pair_wake.notify_all();
    return false;
  }
  if (state.announced) return false;
  state.announced = true;
  return true;
}

}  // namespace md

extern "C" {

int AMDevicePair(AMDeviceRef device) {
  if (!md::IsDevice(device)) return md::kInvalidArgumentError;
  if (!md::DeviceAttached(device)) return md::kDeviceDisconnectedError;
  {
    std::lock_guard<std::mutex> lock(md::g_pair_mutex);
    auto it = md::g_pairs->find(device);
    if (it != md::g_pairs->end() && it->second.pending) {
      md::g_kicked = true;
      md::g_pair_wake.notify_all();
      return md::kPairingDialogResponsePendingError;
    }
    // A new request: its success counts once, whether announced below or through the
    // Paired event usbmuxd sends when the record is saved (which may come first).
    (*md::g_pairs)[device].announced = false;
  }
  const int rc = md::AskDevice(device);
  bool announce = false;
  {
    std::lock_guard<std::mutex> lock(md::g_pair_mutex);
    if (md::KeepsWaiting(rc)) {
      md::StartAskingLocked(device);
    } else if (rc == md::kSuccess) {
      announce = md::RecordResultLocked(device, rc);
    }
  }
  if (announce) md::PostToAll(device, md::kMessageTrustAuthorization);
  return rc;
}

}  // extern "C"
