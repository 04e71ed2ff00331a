#include "platform/process.h"

#include <dirent.h>
#include <fnmatch.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::string stat = ReadFirstLine("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  // The state letter follows the parenthesised command name, which may itself hold ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  char state = stat[close + 2];
  return state != 'Z' && state != 'X';
}

std::vector<ProcessName> ListProcesses() {
  std::vector<ProcessName> result;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return result;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
    ProcessName name;
    name.pid = static_cast<pid_t>(pid);
    std::string base = "/proc/" + std::string(entry->d_name);
    name.comm = ReadFirstLine(base + "/comm");
    char target[4096];
    ssize_t n = ::readlink((base + "/exe").c_str(), target, sizeof(target) - 1);
    if (n > 0) {
      target[n] = '\0';
      name.exe_base = BaseName(target);
    }
    if (!name.comm.empty() || !name.exe_base.empty()) result.push_back(std::move(name));
  }
  ::closedir(dir);
  return result;
}

bool IsProcessRunning(const std::string& patterns) {
  std::vector<std::string> list;
  std::stringstream stream(patterns);
  for (std::string item; std::getline(stream, item, ';');) {
    if (!item.empty()) list.push_back(item);
  }
  std::vector<ProcessName> processes = ListProcesses();
  for (const std::string& pattern : list) {
    for (const ProcessName& process : processes) {
      if ((!process.comm.empty() && ::fnmatch(pattern.c_str(), process.comm.c_str(), 0) == 0) ||
          (!process.exe_base.empty() &&
           ::fnmatch(pattern.c_str(), process.exe_base.c_str(), 0) == 0)) {
        return true;
      }
    }
  }
  return false;
}

bool KillProcess(pid_t pid) { return pid > 0 && ::kill(pid, SIGKILL) == 0; }

std::string ExecutablePath() {
  char target[4096];
  ssize_t n = ::readlink("/proc/self/exe", target, sizeof(target) - 1);
  if (n <= 0) return std::string();
  target[n] = '\0';
  return target;
}

std::string ExecutableName() { return BaseName(ExecutablePath()); }

std::string ExecutableFolder() {
  std::string path = ExecutablePath();
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string TempPath() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp/";
  if (path.back() != '/') path += '/';
  return path;
}

}  // namespace platform
