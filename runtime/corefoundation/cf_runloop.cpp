// Run loops: one per thread, each a queue of posted work that CFRunLoopRun drains on its
// own thread. Posting and waking are safe from any thread.
#include <unistd.h>
#include <sys/syscall.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "cf_types.h"

struct __CFRunLoop : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kRunLoopTypeID;
  __CFRunLoop() : Object(kTypeID) { MakeImmortal(); }

  struct Work {
    CFRunLoopWorkFunction fn;
    void* context;
  };
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Work> queue;   // guarded by mutex
  bool stop = false;        // guarded by mutex; a stop before Run is kept for the next run
  bool waiting = false;     // guarded by mutex
  unsigned wakeups = 0;     // guarded by mutex
};

namespace {

std::mutex g_loops_mutex;
// Every loop ever created; loops live as long as the process. Guarded by g_loops_mutex.
std::vector<__CFRunLoop*>* g_loops = nullptr;
__CFRunLoop* g_main_loop = nullptr;  // guarded by g_loops_mutex
thread_local __CFRunLoop* t_loop = nullptr;

__CFRunLoop* NewLoop() {
  auto* rl = new __CFRunLoop();
  std::lock_guard<std::mutex> lock(g_loops_mutex);
  if (!g_loops) g_loops = new std::vector<__CFRunLoop*>();
  g_loops->push_back(rl);
  return rl;
}

bool IsMainThread() { return syscall(SYS_gettid) == getpid(); }

// Runs posted work until stopped, until `deadline`, or after one item when `once`.
CFRunLoopRunResult Run(__CFRunLoop* rl, std::chrono::steady_clock::time_point deadline,
                       bool once) {
  std::unique_lock<std::mutex> lock(rl->mutex);
  for (;;) {
    if (rl->stop) {
      rl->stop = false;
      return kCFRunLoopRunStopped;
    }
    if (!rl->queue.empty()) {
      const auto work = rl->queue.front();
      rl->queue.pop_front();
      lock.unlock();
      work.fn(work.context);
      if (once) return kCFRunLoopRunHandledSource;
      lock.lock();
      continue;
    }
    rl->waiting = true;
    const unsigned seen = rl->wakeups;
    const bool woke = rl->wake.wait_until(lock, deadline, [&] {
      return rl->stop || !rl->queue.empty() || rl->wakeups != seen;
    });
    rl->waiting = false;
    if (!woke) return kCFRunLoopRunTimedOut;
  }
}

}  // namespace

extern "C" {

const CFStringRef kCFRunLoopDefaultMode = __CFStringMakeConstantString("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = __CFStringMakeConstantString("kCFRunLoopCommonModes");

CFRunLoopRef CFRunLoopGetMain(void) {
  {
    std::lock_guard<std::mutex> lock(g_loops_mutex);
    if (g_main_loop) return g_main_loop;
  }
  __CFRunLoop* rl = NewLoop();
  std::lock_guard<std::mutex> lock(g_loops_mutex);
  if (!g_main_loop) g_main_loop = rl;  // a loser of the race leaves an unused loop behind
  return g_main_loop;
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
  if (!t_loop) t_loop = IsMainThread() ? CFRunLoopGetMain() : NewLoop();
  return t_loop;
}

void CFRunLoopRun(void) {
  auto* rl = CFRunLoopGetCurrent();
  Run(rl, std::chrono::steady_clock::time_point::max(), false);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
  auto* rl = CFRunLoopGetCurrent();
  if (!(seconds > 0)) seconds = 0;
  if (seconds > 1e9) seconds = 1e9;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  return Run(rl, deadline, returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef rl) {
  auto* loop = cf::As<__CFRunLoop>(rl);
  if (!loop) return;
  std::lock_guard<std::mutex> lock(loop->mutex);
  loop->stop = true;
  loop->wake.notify_all();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
  auto* loop = cf::As<__CFRunLoop>(rl);
  if (!loop) return;
  std::lock_guard<std::mutex> lock(loop->mutex);
  ++loop->wakeups;
  loop->wake.notify_all();
}

void CFRunLoopPerformFunction(CFRunLoopRef rl, CFRunLoopWorkFunction fn, void* context) {
  auto* loop = cf::As<__CFRunLoop>(rl);
  if (!loop || !fn) return;
  std::lock_guard<std::mutex> lock(loop->mutex);
  loop->queue.push_back({fn, context});
  loop->wake.notify_all();
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
  auto* loop = cf::As<__CFRunLoop>(rl);
  if (!loop) return false;
  std::lock_guard<std::mutex> lock(loop->mutex);
  return loop->waiting;
}

}  // extern "C"
