#include "common/thread_pool.h"

#include <cstdio>

BASThreadPool::BASThreadPool(size_t workers, std::chrono::milliseconds idle_delay)
    : worker_count_(workers), idle_delay_(idle_delay) {}

BASThreadPool::~BASThreadPool() { Stop(); }

BASThreadPool& BASThreadPool::GetInstance() {
  static BASThreadPool* pool = new BASThreadPool();
  return *pool;
}

void BASThreadPool::Start() {
  if (started_) return;
  started_ = true;
  for (size_t i = 0; i < worker_count_; ++i) {
    auto worker = std::make_unique<Worker>();
    worker->number = static_cast<uint32_t>(i);
    workers_.push_back(std::move(worker));
  }
  for (auto& worker : workers_) {
    Worker* raw = worker.get();
    raw->thread = std::thread([this, raw] { WorkerLoop(raw); });
  }
  scanner_ = std::thread([this] { ScanLoop(); });
}

void BASThreadPool::Submit(Job job) {
  auto owned = std::make_unique<Job>(std::move(job));
  Worker* worker = nullptr;
  {
    // With nothing queued and a worker idle, the job goes straight to the worker that
    // has been idle longest: the same choice the scanner would make, one wake-up less.
    std::scoped_lock lock(idle_mutex_, jobs_mutex_);
    if (started_ && !stop_ && jobs_.empty() && !idle_.empty()) {
      worker = idle_.front();
      idle_.pop_front();
    } else {
      jobs_.push_back(std::move(owned));
    }
  }
  if (worker == nullptr) {
    job_added_.notify_one();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->job = std::move(owned);
  }
  worker->cv.notify_one();
}

void BASThreadPool::Stop() {
  if (!started_) return;
  {
    std::scoped_lock lock(idle_mutex_, jobs_mutex_);
    if (stop_) return;
    stop_ = true;
  }
  job_added_.notify_all();
  idle_cv_.notify_all();
  if (scanner_.joinable()) scanner_.join();
  for (auto& worker : workers_) {
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      worker->stop = true;
    }
    worker->cv.notify_one();
  }
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

void BASThreadPool::WorkerLoop(Worker* worker) {
  std::unique_lock<std::mutex> lock(worker->mutex);
  while (!worker->stop) {
    std::unique_ptr<Job> job = std::move(worker->job);
    lock.unlock();
    if (job) {
      (*job)();
      job.reset();
    }
    lock.lock();
    if (worker->stop) break;
    {
      // Own mutex, then the idle mutex: the scanner never holds the idle mutex while
      // it takes a worker's mutex, so this order cannot deadlock.
      std::lock_guard<std::mutex> idle_lock(idle_mutex_);
      idle_.push_back(worker);
    }
    idle_cv_.notify_one();
    // Wait for a job; a spurious wake-up must not put the worker in the idle queue
    // twice (it would then be handed two jobs at once and lose one).
    worker->cv.wait(lock, [&] { return worker->stop || worker->job != nullptr; });
  }
  lock.unlock();
  std::printf("thread finish: %u\n", worker->number);
  std::fflush(stdout);
}

void BASThreadPool::ScanLoop() {
  while (true) {
    Worker* worker = nullptr;
    std::unique_ptr<Job> job;
    bool jobs_waiting = false;
    bool workers_idle = false;
    {
      std::lock_guard<std::mutex> idle_lock(idle_mutex_);
      if (stop_) break;
      std::lock_guard<std::mutex> jobs_lock(jobs_mutex_);
      if (!idle_.empty() && !jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
        worker = idle_.front();
        idle_.pop_front();
      }
      jobs_waiting = !jobs_.empty();
      workers_idle = !idle_.empty();
    }
    if (worker != nullptr) {
      {
        std::lock_guard<std::mutex> lock(worker->mutex);
        worker->job = std::move(job);
      }
      worker->cv.notify_one();
    }
    if (!jobs_waiting) {
      std::unique_lock<std::mutex> lock(jobs_mutex_);
      job_added_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
    } else if (!workers_idle) {
      std::unique_lock<std::mutex> lock(idle_mutex_);
      idle_cv_.wait_for(lock, idle_delay_, [&] { return stop_ || !idle_.empty(); });
    }
  }
  std::printf("BASThreadPool::ScanTask end\n");
  std::fflush(stdout);
}
