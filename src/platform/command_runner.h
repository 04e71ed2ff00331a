// Runs another program and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Runs argv[0] (searched in PATH) with the agent's environment, waits for it to end and
// returns its exit status; standard output and error go to `output` when given. -1 when
// it could not be started or did not exit normally.
int RunCommand(const std::vector<std::string>& argv, std::string* output);

// Ends every process whose name is `name`; false when one could not be signalled.
bool KillProcessesNamed(const std::string& name);

}  // namespace platform
