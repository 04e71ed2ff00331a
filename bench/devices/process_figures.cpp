#include "process_figures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

long StatusKib(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

ToolRun RunSqliteJson(const std::string& database, const std::string& sql) {
  ToolRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return run;
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
    ::execlp("sqlite3", "sqlite3", "-json", "-readonly", database.c_str(), sql.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}
