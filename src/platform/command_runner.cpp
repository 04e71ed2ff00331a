#include "platform/command_runner.h"

#include "platform/console_redirector.h"
#include "platform/process.h"

namespace platform {

int RunCommand(const std::vector<std::string>& argv, std::string* output,
               std::chrono::milliseconds timeout) {
  SyncRedirector redirector;
  return redirector.Run(argv, output, timeout);
}

bool KillProcessesNamed(const std::string& name) {
  bool all = true;
  for (const ProcessName& process : ListProcesses()) {
    if (process.comm == name || process.exe_base == name) all = KillProcess(process.pid) && all;
  }
  return all;
}

}  // namespace platform
