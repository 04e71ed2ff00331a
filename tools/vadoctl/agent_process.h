// Starts the agent with its positional arguments and ends it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vadoctl {

struct AgentLaunch {
  std::string executable;  // path of VadoAgent
  int gui_port = 0;
  pid_t parent_pid = 0;    // 0: this process
  bool console = true;
  bool test_mode = false;
  bool log = false;
  std::string product_version = "1.0.0";
  std::string app_folder = "vadoctl";
  std::string product_name = "vadoctl";
  int run_mode = 0;
  int64_t task_id = 0;

  std::vector<std::string> Arguments() const;
};

// The VadoAgent that sits beside the running executable.
std::string DefaultAgentPath();

class AgentProcess {
 public:
  AgentProcess() = default;
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool Start(const AgentLaunch& launch, std::string* error);
  // Starts any program: argv[0] is its path.
  bool StartCommand(std::vector<std::string> argv, std::string* error);
  pid_t pid() const { return pid_; }
  // Non-blocking: true (with the exit status) once the process has ended.
  bool Exited(int* status = nullptr);
  // SIGTERM, then SIGKILL after `grace_ms`; returns the wait status.
  int Stop(int grace_ms = 3000);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace vadoctl
