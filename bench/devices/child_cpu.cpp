#include "child_cpu.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Parent id and user+system clock ticks from /proc/PID/stat; false when unreadable.
bool ReadStat(pid_t pid, pid_t* parent, unsigned long long* ticks) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // The command name is in parentheses and may hold spaces: fields follow the last ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(line.substr(close + 1));
  std::string state;
  long long ppid = 0;
  fields >> state >> ppid;
  std::string skip;
  for (int i = 0; i < 9; ++i) fields >> skip;  // pgrp .. cmajflt
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return false;
  *parent = static_cast<pid_t>(ppid);
  *ticks = utime + stime;
  return true;
}

}  // namespace

double ProcessCpuSeconds(pid_t pid) {
  pid_t parent = 0;
  unsigned long long ticks = 0;
  if (pid <= 0 || !ReadStat(pid, &parent, &ticks)) return 0;
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ChildrenCpuSeconds() {
  const pid_t self = getpid();
  unsigned long long total = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    pid_t parent = 0;
    unsigned long long ticks = 0;
    if (ReadStat(static_cast<pid_t>(pid), &parent, &ticks) && parent == self) total += ticks;
  }
  closedir(proc);
  return static_cast<double>(total) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
