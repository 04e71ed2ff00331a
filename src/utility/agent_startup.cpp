#include "utility/agent_startup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <glog/logging.h>

#include <cstdio>
#include <filesystem>

#include "common/child_process_registry.h"
#include "common/dh_task.h"
#include "common/parent_watchdog.h"
#include "common/process_state.h"
#include "common/thread_pool.h"
#include "utility/ios/vado_client.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/module/command_table.h"
#include "utility/self_test_task.h"

namespace {

constexpr int kMaxLogFileMegabytes = 20;
bool g_logging_active = false;

void OnQuitSignal(int) { RequestQuit(); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void StartLogging(const LaunchOptions& options, const std::string& log_folder) {
  if (!options.enable_log) {
    // Without logging only fatal errors are reported.
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_logtostderr = false;
    google::InitGoogleLogging("VadoAgent");
    return;
  }
  FLAGS_log_dir = log_folder;
  FLAGS_max_log_size = kMaxLogFileMegabytes;
  FLAGS_logbufsecs = 0;
  FLAGS_alsologtostderr = options.show_console;
  google::InitGoogleLogging("VadoAgent");
  g_logging_active = true;
}

// Without a console the agent's standard output and error go nowhere.
void DetachConsole() {
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(null_fd, STDOUT_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  ::close(null_fd);
}

void MainInitialisation(const LaunchOptions& options) {
  BASThreadPool& pool = BASThreadPool::GetInstance();
  pool.Start();
  GlobalTaskRegistry();

  VadoClient& client = VadoClient::GetInstance();
  // The table is complete before the link exists: a request that arrives at once must
  // find its module, and the table is read without a lock afterwards.
  FillCommandTable(CommandTable::GetInstance(), client);
  if (!client.ConnectToFrontEnd(options.gui_port)) {
    LOG(INFO) << "no front end connected (port " << options.gui_port << ")";
  }

  VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
  monitor.SetStatusClient(&client);
  {
    std::lock_guard<std::mutex> lock(monitor.mutex());
    monitor.AddCallback(&client);
  }
  int32_t monitor_status;
  {
    std::lock_guard<std::mutex> lock(monitor.mutex());
    monitor_status = monitor.StartMonitoring();
  }
  if (monitor_status != kMonitorStarted) {
    LOG(ERROR) << "device monitoring did not start: " << monitor_status;
    client.NotifyStatus(monitor_status, 0);
  }

  if (options.test_mode) pool.Submit([] { RunSelfTest(nullptr); });
}

void Shutdown() {
  if (g_logging_active) {
    google::ShutdownGoogleLogging();
    g_logging_active = false;
  }
  ChildProcessRegistry::GetInstance().TerminateAll();
  std::string work = WorkFolder(false);
  RemoveFolder(work);
}

}  // namespace

int RunAgent(const LaunchOptions& options) {
  SetLaunchOptions(options);
  InitQuitEvent();
  InstallSignalHandlers();

  std::string log_folder = BuildLogFolder(options.app_folder);
  SetLogFolder(log_folder);
  std::error_code error;
  std::filesystem::create_directories(log_folder, error);

  if (!options.show_console) DetachConsole();
  StartLogging(options, log_folder);

  WatchParent(options.parent_pid);
  MainInitialisation(options);

  WaitForQuit();
  LOG(INFO) << "quit requested; shutting down";
  Shutdown();
  return 0;
}
