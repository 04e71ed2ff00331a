#include "utility/agent_startup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <glog/logging.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "common/child_process_registry.h"
#include "common/dh_task.h"
#include "common/parent_watchdog.h"
#include "common/private_folder.h"
#include "common/process_state.h"
#include "common/thread_pool.h"
#include "platform/process.h"
#include "utility/ios/vado_client.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/module/command_table.h"
#include "utility/self_test_task.h"

namespace {

constexpr int kMaxLogFileMegabytes = 20;
constexpr std::chrono::seconds kFrontEndSendDeadline{30};
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

// The log folder, private to the user: each level below the temporary folder is created
// with mode 0700 or accepted only as this user's own real folder. Otherwise a fresh
// private folder is used and `refusal` says why.
std::string PrepareLogFolder(const std::string& app_folder, std::string* refusal) {
  const std::string temp = platform::TempPath();
  const std::string folder = BuildLogFolder(app_folder);
  std::error_code error;
  std::filesystem::create_directories(temp, error);
  std::string reason;
  bool ok = app_folder.empty() || MakePrivateFolder(temp + app_folder, &reason);
  if (ok) ok = MakePrivateFolder(folder, &reason);
  if (ok) return folder;
  const std::string fresh = MakeFreshPrivateFolder(temp, "VadoAgent-");
  *refusal = reason;
  return fresh.empty() ? folder : fresh;
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
  // A front end that stops reading would otherwise hold every worker in a send for good:
  // once a message misses the send deadline the link is lost and the agent quits, as it
  // does when the front end's process ends.
  client.front_end().SetSendDeadline(kFrontEndSendDeadline);
  client.front_end().SetLinkLostHandler([](bas::IPCConnection*) { RequestQuit(); });
  if (!client.ConnectToFrontEnd(options.gui_port)) {
    LOG(INFO) << "no front end connected (port " << options.gui_port << ")";
  }

  VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
  monitor.SetStatusClient(&client);
  {
    std::lock_guard<std::mutex> lock(monitor.mutex());
    monitor.AddCallback(&client);
  }
  // Monitoring starts on a pool job that this thread waits for. The registry lock is not
  // held meanwhile: requests that arrived first take that lock on pool workers, and with
  // every worker waiting for it the job would never run.
  const int32_t monitor_status = monitor.StartMonitoring();
  if (monitor_status != kMonitorStarted) {
    LOG(ERROR) << "device monitoring did not start: " << monitor_status;
    client.NotifyStatus(monitor_status, 0);
  }

  if (options.test_mode) pool.Submit([] { RunSelfTest(nullptr); });
}

// Pool workers, the link's threads and the device run loop are not joined: the process
// ends with them right after this. They may still log until then, so the log library is
// flushed here, never torn down underneath them; the exit that follows stops the threads
// and the logging together.
void Shutdown() {
  ChildProcessRegistry::GetInstance().TerminateAll();
  std::string work = WorkFolder(false);
  RemoveFolder(work);
  if (g_logging_active) google::FlushLogFiles(google::GLOG_INFO);
}

}  // namespace

int RunAgent(const LaunchOptions& options) {
  SetLaunchOptions(options);
  InitQuitEvent();
  InstallSignalHandlers();

  std::string refusal;
  std::string log_folder = PrepareLogFolder(options.app_folder, &refusal);
  SetLogFolder(log_folder);

  if (!options.show_console) DetachConsole();
  StartLogging(options, log_folder);
  if (!refusal.empty()) LOG(ERROR) << "log folder refused: " << refusal << "; using " << log_folder;

  WatchParent(options.parent_pid);
  MainInitialisation(options);

  WaitForQuit();
  LOG(INFO) << "quit requested; shutting down";
  Shutdown();
  return 0;
}
