// Processes and paths of the running system.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// True when `pid` names a live process (a zombie counts as gone).
bool IsProcessAlive(pid_t pid);

// Names of all running processes: the kernel's short name and the executable's base
// name, for matching patterns against either.
struct ProcessName {
  pid_t pid = 0;
  std::string comm;
  std::string exe_base;
};
std::vector<ProcessName> ListProcesses();

// True when a running process's name matches one of the ';'-separated fnmatch patterns.
bool IsProcessRunning(const std::string& patterns);

// Ends a process at once; false when it could not be signalled (already gone).
bool KillProcess(pid_t pid);

// Full path of the running executable, its file name, and its folder with a trailing '/'.
std::string ExecutablePath();
std::string ExecutableName();
std::string ExecutableFolder();

// $TMPDIR or /tmp/, always with a trailing '/'.
std::string TempPath();

}  // namespace platform
