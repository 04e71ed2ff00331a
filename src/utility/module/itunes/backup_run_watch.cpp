#include "utility/module/itunes/backup_run_watch.h"

#include <sys/socket.h>

#include <glog/logging.h>

#include <cstdlib>

#include "iOSAPI/MobileExportFun.h"

namespace {

// A device may scan its files for minutes before its first upload without saying a word.
constexpr int64_t kDefaultStallSeconds = 600;
constexpr int64_t kMaxStallSeconds = 86400;
// How often the timer looks at the clock; bounds how late a stall is noticed.
constexpr std::chrono::milliseconds kTick(200);

// Shuts the connection's socket down: a reader blocked on it wakes with an error. The handle
// stays valid, so its owner still closes it the usual way.
void InterruptConnection(AMDServiceConnectionRef connection) {
  const int socket = CMobileExportFun::GetInstance().AMDServiceConnectionGetSocket(connection);
  if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

}  // namespace

std::chrono::seconds BackupStallLimit() {
  const char* text = std::getenv("VADO_BACKUP_STALL_SECONDS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (*end == '\0' && value >= 1 && value <= kMaxStallSeconds) return std::chrono::seconds(value);
  }
  return std::chrono::seconds(kDefaultStallSeconds);
}

RunWatch::RunWatch(VadoDevice& device, DhTask* task, std::chrono::seconds stall_limit)
    : device_(device), task_(task), limit_(stall_limit), last_progress_ms_(NowMs()) {
  if (task_ != nullptr) {
    std::lock_guard<std::mutex> lock(device_.tasks.mutex);
    task_->SetCancelHook(&RunWatch::OnCancel, this);
  }
}

RunWatch::~RunWatch() {
  if (task_ != nullptr) {
    // Cancels fire the hook under this lock; once it is held no call into `this` is running.
    std::lock_guard<std::mutex> lock(device_.tasks.mutex);
    task_->SetCancelHook(nullptr, nullptr);
  }
  Release();
}

int64_t RunWatch::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void RunWatch::OnCancel(void* context) { static_cast<RunWatch*>(context)->Interrupt(); }

void RunWatch::Interrupt() {
  std::lock_guard<std::mutex> lock(mutex_);
  interrupted_ = true;
  if (connection_ != nullptr) {
    InterruptConnection(connection_);
    connection_ = nullptr;
  }
  wake_.notify_all();
}

void RunWatch::Watch(AMDServiceConnectionRef connection) {
  Touch();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (interrupted_) {
      InterruptConnection(connection);
      return;
    }
    connection_ = connection;
    stop_ = false;
  }
  if (!timer_.joinable()) timer_ = std::thread(&RunWatch::TimerLoop, this);
}

void RunWatch::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = nullptr;
    stop_ = true;
    wake_.notify_all();
  }
  if (timer_.joinable()) timer_.join();
}

void RunWatch::Touch() { last_progress_ms_.store(NowMs(), std::memory_order_relaxed); }

bool RunWatch::cancelled() {
  if (task_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(device_.tasks.mutex);
  return IsCancelled(*task_);
}

void RunWatch::TimerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_ && connection_ != nullptr) {
    wake_.wait_for(lock, kTick);
    if (stop_ || connection_ == nullptr) break;
    const int64_t idle = NowMs() - last_progress_ms_.load(std::memory_order_relaxed);
    if (idle >= limit_.count()) {
      LOG(ERROR) << "backup service made no progress for " << idle / 1000 << " s; giving up";
      stalled_.store(true);
      InterruptConnection(connection_);
      connection_ = nullptr;
      break;
    }
  }
}
