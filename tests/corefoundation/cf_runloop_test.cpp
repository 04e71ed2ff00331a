#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "cf_test_util.h"

namespace {

struct Log {
  std::mutex mutex;
  std::vector<int> order;
  std::thread::id thread;
};

TEST(CFRunLoop, PostedWorkRunsOnTheLoopThreadInOrderUntilStopped) {
  Log log;
  std::atomic<CFRunLoopRef> loop{nullptr};
  std::thread worker([&] {
    loop = CFRunLoopGetCurrent();
    CFRunLoopRun();
  });
  while (!loop) std::this_thread::yield();
  static int values[] = {1, 2, 3};
  for (int& v : values) {
    CFRunLoopPerformFunction(loop, [](void* ctx) {
      auto* pair = static_cast<std::pair<Log*, int*>*>(ctx);
      std::lock_guard<std::mutex> lock(pair->first->mutex);
      pair->first->order.push_back(*pair->second);
      pair->first->thread = std::this_thread::get_id();
      delete pair;
    }, new std::pair<Log*, int*>(&log, &v));
  }
  CFRunLoopPerformFunction(loop, [](void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }, nullptr);
  worker.join();
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
  EXPECT_NE(log.thread, std::this_thread::get_id());
}

TEST(CFRunLoop, StopRequestedBeforeTheLoopRunsIsKept) {
  std::thread worker([] {
    CFRunLoopStop(CFRunLoopGetCurrent());
    CFRunLoopRun();  // returns at once instead of waiting forever
  });
  worker.join();
  SUCCEED();
}

TEST(CFRunLoop, EachThreadHasItsOwnLoop) {
  CFRunLoopRef mine = CFRunLoopGetCurrent();
  CFRunLoopRef other = nullptr;
  std::thread([&] { other = CFRunLoopGetCurrent(); }).join();
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine, CFRunLoopGetCurrent());
  EXPECT_EQ(CFGetTypeID(mine), CFRunLoopGetTypeID());
}

TEST(CFRunLoop, RunInModeReturnsAfterOneItemWhenAsked) {
  int calls = 0;
  CFRunLoopPerformFunction(CFRunLoopGetCurrent(), [](void* c) { ++*static_cast<int*>(c); }, &calls);
  CFRunLoopPerformFunction(CFRunLoopGetCurrent(), [](void* c) { ++*static_cast<int*>(c); }, &calls);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunHandledSource);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
  EXPECT_EQ(calls, 2);
}

}  // namespace
