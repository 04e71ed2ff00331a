#include "common/process_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <mutex>

#include <glog/logging.h>

#include "common/private_folder.h"
#include "platform/process.h"

namespace {

std::atomic<bool> g_quitting{false};
int g_quit_pipe[2] = {-1, -1};
std::once_flag g_quit_pipe_once;

std::mutex g_log_folder_mutex;
std::string g_log_folder;  // guarded by g_log_folder_mutex

std::mutex g_work_folder_mutex;
// A fresh folder used instead of the usual work folder when that path was refused;
// guarded by g_work_folder_mutex.
std::string g_work_folder_replacement;

void EnsureQuitPipe() {
  std::call_once(g_quit_pipe_once, [] {
    if (::pipe2(g_quit_pipe, O_CLOEXEC) != 0) g_quit_pipe[0] = g_quit_pipe[1] = -1;
  });
}

}  // namespace

void RequestQuit() {
  // Only async-signal-safe calls once the pipe exists; main() creates it before any
  // signal handler is installed.
  g_quitting.store(true);
  if (g_quit_pipe[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_quit_pipe[1], &byte, 1);
  }
}

bool IsQuitting() { return g_quitting.load(); }

void WaitForQuit() {
  EnsureQuitPipe();
  while (!g_quitting.load()) {
    char byte;
    ssize_t n = ::read(g_quit_pipe[0], &byte, 1);
    if (n < 0 && errno != EINTR) break;
  }
}

void InitQuitEvent() { EnsureQuitPipe(); }

std::string BuildLogFolder(const std::string& app_folder) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof(date), "%Y%m%d", &local);
  return platform::TempPath() + app_folder + "/" + date;
}

const std::string& LogFolder() {
  std::lock_guard<std::mutex> lock(g_log_folder_mutex);
  return g_log_folder;
}

void SetLogFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_log_folder_mutex);
  g_log_folder = folder;
}

std::string WorkFolder(bool create) {
  std::lock_guard<std::mutex> lock(g_work_folder_mutex);
  if (!g_work_folder_replacement.empty()) return g_work_folder_replacement;
  const std::string log_folder = LogFolder();
  const std::string name = platform::ExecutableName() + "-" + std::to_string(::getpid());
  const std::string folder = log_folder + "/" + name;
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(log_folder, error);
    std::string reason;
    if (!MakePrivateFolder(folder, &reason)) {
      // Someone else's folder or link at our path must not receive our files.
      std::string fresh = MakeFreshPrivateFolder(log_folder, name + "-");
      LOG(ERROR) << "work folder refused: " << reason << "; using "
                 << (fresh.empty() ? std::string("nothing") : fresh);
      if (!fresh.empty()) {
        g_work_folder_replacement = fresh + "/";
        return g_work_folder_replacement;
      }
    }
  }
  return folder + "/";
}

bool RemoveFolder(std::string& path) {
  std::string target = path;
  if (!target.empty() && (target.back() == '/' || target.back() == '\\')) target.pop_back();
  if (target.empty()) return false;
  std::error_code error;
  std::filesystem::remove_all(target, error);
  if (error) return false;
  path.clear();
  return true;
}
