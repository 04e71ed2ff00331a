#include "common/parent_watchdog.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/process_state.h"
#include "platform/process.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(500);

std::mutex g_mutex;
std::condition_variable g_cv;
pid_t g_watched = 0;        // guarded by g_mutex
uint64_t g_generation = 0;  // guarded by g_mutex; bumped by every later call
bool g_started = false;     // guarded by g_mutex
std::function<void()> g_on_gone;  // guarded by g_mutex

void WatchLoop() {
  while (true) {
    pid_t pid;
    uint64_t generation;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      pid = g_watched;
      generation = g_generation;
    }
    if (pid == 0 || platform::IsProcessAlive(pid)) {
      std::this_thread::sleep_for(kPollInterval);
      continue;
    }
    std::function<void()> on_gone;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      on_gone = g_on_gone;
    }
    std::thread([on_gone] { on_gone ? on_gone() : RequestQuit(); }).detach();
    // Wait until someone names another process to watch.
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_cv.wait(lock, [&] { return g_generation != generation; });
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

void WatchParent(pid_t pid, std::function<void()> on_gone) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_watched = pid;
  if (on_gone) g_on_gone = std::move(on_gone);
  if (!g_started) {
    g_started = true;
    std::thread(WatchLoop).detach();
    return;
  }
  ++g_generation;
  g_cv.notify_all();
}
