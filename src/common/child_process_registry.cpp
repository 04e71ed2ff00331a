#include "common/child_process_registry.h"

#include "common/process_state.h"
#include "platform/process.h"

namespace {
// Folder paths longer than this are not used, as with fixed path buffers elsewhere.
constexpr size_t kMaxFolderLength = 260;
}

ChildProcessRegistry& ChildProcessRegistry::GetInstance() {
  static ChildProcessRegistry* registry = new ChildProcessRegistry();
  return *registry;
}

void ChildProcessRegistry::Add(const std::string& key, pid_t pid, const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[key] = Entry{pid, folder.size() <= kMaxFolderLength ? folder : std::string()};
}

void ChildProcessRegistry::Remove(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(key);
}

size_t ChildProcessRegistry::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void ChildProcessRegistry::TerminateAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [key, entry] : entries_) {
    platform::KillProcess(entry.pid);
    if (!entry.folder.empty()) RemoveFolder(entry.folder);
  }
  entries_.clear();
}
