#include "agent_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace vadoctl {

std::vector<std::string> AgentLaunch::Arguments() const {
  std::vector<std::string> args = {
      std::to_string(gui_port),
      std::to_string(parent_pid != 0 ? parent_pid : ::getpid()),
      console ? "1" : "0",
      test_mode ? "1" : "0",
      log ? "1" : "0",
      product_version,
      app_folder,
      product_name,
      std::to_string(run_mode),
  };
  if (run_mode == 1) {
    args.push_back("0");
    args.push_back(std::to_string(task_id));
  }
  return args;
}

std::string DefaultAgentPath() { return platform::ExecutableFolder() + "VadoAgent"; }

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !reaped_) Stop(1000);
}

bool AgentProcess::Start(const AgentLaunch& launch, std::string* error) {
  std::vector<std::string> args = launch.Arguments();
  args.insert(args.begin(), launch.executable);
  return StartCommand(std::move(args), error);
}

bool AgentProcess::StartCommand(std::vector<std::string> args, std::string* error) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  int rc = ::posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    if (error) *error = "cannot start " + args[0] + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  reaped_ = false;
  return true;
}

bool AgentProcess::Exited(int* status) {
  if (pid_ <= 0) return true;
  if (!reaped_) {
    int s = 0;
    pid_t r = ::waitpid(pid_, &s, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = s;
    }
  }
  if (reaped_ && status) *status = status_;
  return reaped_;
}

int AgentProcess::Stop(int grace_ms) {
  if (pid_ <= 0) return 0;
  if (!Exited()) {
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    while (!Exited() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Exited()) {
      ::kill(pid_, SIGKILL);
      int s = 0;
      ::waitpid(pid_, &s, 0);
      reaped_ = true;
      status_ = s;
    }
  }
  return status_;
}

}  // namespace vadoctl
