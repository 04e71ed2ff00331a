// Runs another program and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace platform {

// Runs argv[0] (searched in PATH) with the agent's environment through SyncRedirector,
// waits for it to end and returns its exit status; standard output and error go to
// `output` when given. -1 when it could not be started, did not exit normally, or was
// still running after `timeout` (it is killed then).
inline constexpr std::chrono::milliseconds kCommandTimeout = std::chrono::minutes(10);
int RunCommand(const std::vector<std::string>& argv, std::string* output,
               std::chrono::milliseconds timeout = kCommandTimeout);

// Ends every process whose name is `name`; false when one could not be signalled.
bool KillProcessesNamed(const std::string& name);

}  // namespace platform
