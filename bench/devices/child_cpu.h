// CPU time of the processes a benchmark started (the agent and the simulator daemon), so
// that figures on a busy machine can be told apart from waiting: wall time shows how long
// a request took, CPU time how much work it cost.
#pragma once

#include <sys/types.h>

// User plus system seconds used so far by the direct children of this process, read
// from /proc. Children that have ended and been waited for are not counted.
double ChildrenCpuSeconds();

// The same for one process; 0 when it cannot be read.
double ProcessCpuSeconds(pid_t pid);
