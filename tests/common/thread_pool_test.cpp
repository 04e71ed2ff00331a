#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/thread_pool.h"

namespace {

using namespace std::chrono_literals;

// A gate jobs wait at until the test opens it.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts started jobs and lets the test wait for a number of them.
class StartCounter {
 public:
  void Started(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.push_back(id);
    cv_.notify_all();
  }
  bool WaitFor(size_t count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, wait, [&] { return order_.size() >= count; });
  }
  std::vector<int> order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<int> order_;
};

TEST(BASThreadPool, JobsStartInSubmissionOrder) {
  BASThreadPool pool(1, 10ms);
  pool.Start();
  StartCounter counter;
  for (int i = 0; i < 100; ++i) pool.Submit([&, i] { counter.Started(i); });
  ASSERT_TRUE(counter.WaitFor(100, 10s));
  std::vector<int> order = counter.order();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(BASThreadPool, NineOfElevenLongJobsStartWhileRunLoopHoldsAWorker) {
  // A long idle delay: the queued jobs must start because a worker became idle, not
  // because the scanner's sleep ran out.
  BASThreadPool pool(10, 60s);
  pool.Start();
  Gate forever, release_first, release_rest;
  StartCounter counter;
  pool.Submit([&] { forever.Wait(); });  // stands in for the device run loop
  pool.Submit([&] {
    counter.Started(0);
    release_first.Wait();
  });
  for (int i = 1; i < 11; ++i) {
    pool.Submit([&, i] {
      counter.Started(i);
      release_rest.Wait();
    });
  }
  ASSERT_TRUE(counter.WaitFor(9, 5s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(counter.order().size(), 9u);  // two wait in the queue

  release_first.Open();
  ASSERT_TRUE(counter.WaitFor(10, 5s));  // well before the 60 s idle delay
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(counter.order().size(), 10u);

  release_rest.Open();
  ASSERT_TRUE(counter.WaitFor(11, 5s));
  std::vector<int> order = counter.order();
  EXPECT_EQ(order.back(), 10);  // still first in, first started
  forever.Open();
  pool.Stop();
}

TEST(BASThreadPool, ManySubmittersLoseNoJob) {
  BASThreadPool pool(4, 5ms);
  pool.Start();
  std::atomic<int> done{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) pool.Submit([&] { ++done; });
    });
  }
  for (auto& thread : submitters) thread.join();
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (done.load() < 8000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(done.load(), 8000);
}

}  // namespace
