// Starts a program with administrator rights: through pkexec when this process is not
// root, directly when it is.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (a full path) with the remaining arguments, standard streams on
// /dev/null. Returns the child's pid (the pkexec process when one is used), or -1.
pid_t StartElevated(const std::vector<std::string>& argv);

// True while the child `pid` runs; reaps it (without blocking) once it has ended.
bool ChildRunning(pid_t pid);

}  // namespace platform
