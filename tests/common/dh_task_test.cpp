#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/dh_task.h"

namespace {

void CountHook(void* context) { ++*static_cast<std::atomic<int>*>(context); }

TEST(TaskCancellation, CancellingTwiceCallsHookOnce) {
  TaskRegistry registry;
  TaskPtr task = BeginTask(registry, 42);
  ASSERT_TRUE(task);
  std::atomic<int> calls{0};
  task->SetCancelHook(CountHook, &calls);
  Cancel(registry, 42);
  Cancel(registry, 42);
  EXPECT_EQ(task->status(), kTaskCancelled);
  EXPECT_TRUE(IsCancelled(*task));
  EXPECT_EQ(calls.load(), 1);
}

TEST(TaskCancellation, IsCancelledFiresHookWhenCancelFoundNone) {
  TaskRegistry registry;
  TaskPtr task = BeginTask(registry, 1);
  std::atomic<int> calls{0};
  Cancel(registry, 1);  // no hook yet
  task->SetCancelHook(CountHook, &calls);
  EXPECT_TRUE(IsCancelled(*task));
  EXPECT_TRUE(IsCancelled(*task));
  EXPECT_EQ(calls.load(), 1);
}

TEST(TaskCancellation, UnknownIdChangesNothing) {
  TaskRegistry registry;
  TaskPtr task = BeginTask(registry, 1);
  Cancel(registry, 2);
  EXPECT_EQ(task->status(), 0);
  EXPECT_FALSE(IsCancelled(*task));
  EXPECT_EQ(registry.tasks.size(), 1u);
}

TEST(TaskCancellation, RequestCancelledBeforeItStartsEndsSilently) {
  TaskRegistry registry;
  ASSERT_TRUE(BeginTask(registry, 9));
  Cancel(registry, 9);
  EXPECT_EQ(BeginTask(registry, 9), nullptr);
  // A cancel that came before any task existed has no effect on the request.
  Cancel(registry, 10);
  EXPECT_NE(BeginTask(registry, 10), nullptr);
}

TEST(TaskCancellation, RacingCancelAndCheckRunHookExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    TaskRegistry registry;
    TaskPtr task = BeginTask(registry, round);
    std::atomic<int> calls{0};
    task->SetCancelHook(CountHook, &calls);
    std::thread canceller([&] { Cancel(registry, round); });
    std::thread worker([&] {
      while (!IsCancelled(*task)) {
      }
    });
    canceller.join();
    worker.join();
    ASSERT_EQ(calls.load(), 1) << "round " << round;
  }
}

}  // namespace
