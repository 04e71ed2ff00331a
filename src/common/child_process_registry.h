// Helper processes (and their scratch folders) that must not outlive the agent.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>

class ChildProcessRegistry {
 public:
  struct Entry {
    pid_t pid = 0;
    std::string folder;
  };

  static ChildProcessRegistry& GetInstance();

  void Add(const std::string& key, pid_t pid, const std::string& folder);
  void Remove(const std::string& key);
  size_t size();

  // Kills every registered process (one that has already ended is skipped silently)
  // and deletes its folder, then forgets the entries.
  void TerminateAll();

 private:
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;  // guarded by mutex_
};
