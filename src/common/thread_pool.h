// BASThreadPool: a fixed set of workers fed from one FIFO of jobs by a scanner thread.
// Jobs start strictly in submission order, each on the worker that has been idle
// longest, and then run concurrently.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class BASThreadPool {
 public:
  using Job = std::function<void()>;

  static constexpr size_t kDefaultWorkers = 10;
  static constexpr std::chrono::milliseconds kDefaultIdleDelay{500};

  BASThreadPool(size_t workers = kDefaultWorkers,
                std::chrono::milliseconds idle_delay = kDefaultIdleDelay);
  ~BASThreadPool();
  BASThreadPool(const BASThreadPool&) = delete;
  BASThreadPool& operator=(const BASThreadPool&) = delete;

  // Starts the workers, then the scanner. Called once.
  void Start();
  // Any thread may submit.
  void Submit(Job job);
  // Orderly end for tests and tools: running jobs finish, queued ones are dropped.
  void Stop();

  size_t worker_count() const { return worker_count_; }

  // The process-wide pool, created by start-up and never destroyed.
  static BASThreadPool& GetInstance();

 private:
  struct Worker {
    std::unique_ptr<Job> job;  // guarded by mutex; null when none is handed over
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;         // guarded by mutex
    std::thread thread;
    uint32_t number = 0;
  };

  void WorkerLoop(Worker* worker);
  void ScanLoop();

  const size_t worker_count_;
  const std::chrono::milliseconds idle_delay_;
  bool stop_ = false;  // guarded by jobs_mutex_ and idle_mutex_ (written under both)
  bool started_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;

  std::mutex idle_mutex_;
  // A worker that becomes idle wakes the scanner, so a queued job starts at once;
  // the idle delay remains the upper bound of the scanner's wait.
  std::condition_variable idle_cv_;
  std::deque<Worker*> idle_;  // guarded by idle_mutex_

  std::mutex jobs_mutex_;
  std::condition_variable job_added_;
  std::deque<std::unique_ptr<Job>> jobs_;  // guarded by jobs_mutex_

  std::thread scanner_;
};
