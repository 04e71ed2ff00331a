// Figures of the processes a benchmark started (the agent and the simulator daemon) and of
// the independent tools it compares with. CPU time lets figures on a busy machine be told
// apart from waiting: wall time shows how long a request took, CPU time how much work it
// cost.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// User plus system seconds used so far by the direct children of this process, read
// from /proc. Children that have ended and been waited for are not counted.
double ChildrenCpuSeconds();

// The same for one process; 0 when it cannot be read.
double ProcessCpuSeconds(pid_t pid);

// A "Vm..." figure of /proc/PID/status in KiB ("VmHWM" is the peak resident size), or -1.
long StatusKib(pid_t pid, const char* name);

// Wall and CPU seconds of one run of a command-line tool; -1 each when it failed.
struct ToolRun {
  double wall = -1;
  double cpu = -1;
};

// The sqlite3 program running `sql` on `database` read-only with JSON output (discarded).
ToolRun RunSqliteJson(const std::string& database, const std::string& sql);

// The middle value of a benchmark's rounds (the upper middle for an even count); 0 for none.
double Median(std::vector<double> values);
