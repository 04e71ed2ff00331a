#include "utility/module/itunes/message_snapshot.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/child_process_registry.h"
#include "common/process_state.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/database/message_db_name.h"
#include "utility/module/database/sqlite_handles.h"
#include "utility/module/itunes/backup_run_watch.h"

namespace fs = std::filesystem;

namespace {

constexpr char kToolName[] = "idevicebackup2";
constexpr auto kWaitStep = std::chrono::milliseconds(100);

// Waits `duration` in short steps; false when cancelled meanwhile.
bool WaitFor(std::chrono::milliseconds duration, const CancelCheck& cancelled,
             const std::function<bool()>& stop_early = nullptr) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (cancelled && cancelled()) return false;
    if (stop_early && stop_early()) return true;
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
        kWaitStep, end - std::chrono::steady_clock::now()));
  }
  return !(cancelled && cancelled());
}

bool CopyOver(const std::string& from, const std::string& to) {
  std::error_code error;
  return fs::copy_file(from, to, fs::copy_options::overwrite_existing, error) && !error;
}

// The first row of the quick check, lower-cased, must be exactly "ok".
bool PassesQuickCheck(const std::string& path) {
  SqliteDbPtr db = OpenDatabase(path);
  if (!db) return false;
  SqliteStmtPtr check = PrepareStatement(db, path, "PRAGMA quick_check");
  if (!check || sqlite3_step(check.get()) != SQLITE_ROW) return false;
  return IsQuickCheckOk(ColumnText(check.get(), 0));
}

std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string list = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t colon = list.find(':', start);
    std::string folder = list.substr(start, colon == std::string::npos ? std::string::npos
                                                                       : colon - start);
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return std::string();
}

// Forks the tool on the allowed processors with no standard streams and none of the
// agent's descriptors; it dies with the thread that started it should the agent die
// without its shutdown walk. -1 when the process could not be created.
pid_t SpawnTool(const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<std::string> owned;
  owned.push_back(executable);
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  const uint64_t mask = ToolAffinityMask(processors > 0 ? static_cast<int>(processors) : 1);
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int bit = 0; bit < 64; ++bit) {
    if (mask & (uint64_t{1} << bit)) CPU_SET(bit, &set);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
  }
  ::syscall(SYS_close_range, 3u, ~0u, 0u);
  ::sched_setaffinity(0, sizeof(set), &set);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Removes a folder; one trailing separator is dropped first.
void DeleteFolder(std::string folder) {
  if (folder.empty()) return;
  RemoveFolder(folder);
}

}  // namespace

bool IsQuickCheckOk(std::string answer) {
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return answer == "ok";
}

SnapshotWatch MakeSnapshotWatch(const std::string& tool_folder, const std::string& backup_folder,
                                const std::string& name) {
  SnapshotWatch watch;
  const std::string prefix = name.substr(0, 2);
  watch.candidates[0] = tool_folder + name;
  watch.candidates[1] = tool_folder + prefix + "/" + name;
  watch.candidates[2] = tool_folder + "Snapshot/" + name;
  watch.candidates[3] = tool_folder + "Snapshot/" + prefix + "/" + name;
  watch.prune_folders[0] = tool_folder;
  watch.prune_folders[1] = tool_folder + "Snapshot/";
  watch.destination = backup_folder + name;
  return watch;
}

bool CopyIfSettled(int32_t* found_count, const std::string& path, SnapshotWatch& watch,
                   const SnapshotTiming& timing, const CancelCheck& cancelled) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return false;
    info.st_size = -1;  // unreadable: a size no file has
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size != watch.last_size) {
    watch.last_size = size;
    return true;
  }
  if (size == 0) return false;
  const std::string check_copy = path + ".db";
  if (!CopyOver(path, check_copy) || !PassesQuickCheck(check_copy)) return false;
  watch.found = 1;
  // The tool keeps writing while the companions settle; its other files are still pruned.
  auto last_prune = std::chrono::steady_clock::now();
  const auto prune = [&] {
    if (std::chrono::steady_clock::now() - last_prune >= std::chrono::milliseconds(500)) {
      for (const std::string& folder : watch.prune_folders) PruneBackupFolder(folder, kMessageDbFileName);
      last_prune = std::chrono::steady_clock::now();
    }
    return false;
  };
  if (!WaitFor(timing.settle, cancelled, prune)) return true;
  // The tool may have moved the file on meanwhile; the checked copy stands in for it.
  if (!CopyOver(path, watch.destination)) CopyOver(check_copy, watch.destination);
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code error;
    fs::remove(watch.destination + suffix, error);
    if (fs::exists(path + suffix, error)) CopyOver(path + suffix, watch.destination + suffix);
  }
  ++*found_count;
  return true;
}

size_t PruneBackupFolder(const std::string& folder, const std::string& keep) {
  size_t deleted = 0;
  std::error_code error;
  std::vector<std::string> subfolders;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code kind_error;
    const fs::file_status status = it->symlink_status(kind_error);
    if (kind_error) continue;
    if (fs::is_directory(status)) {
      // The snapshot stage has a call of its own.
      if (name != "Snapshot") subfolders.push_back(folder + name + "/");
      continue;
    }
    if (name.size() == keep.size() && name != keep && fs::is_regular_file(status)) {
      std::error_code remove_error;
      if (fs::remove(it->path(), remove_error)) ++deleted;
    }
  }
  for (const std::string& sub : subfolders) deleted += PruneBackupFolder(sub, keep);
  return deleted;
}

bool PollSnapshot(std::vector<SnapshotWatch>& watches, int32_t* found_count,
                  const SnapshotTiming& timing, const CancelCheck& cancelled) {
  bool changed = false;
  for (SnapshotWatch& watch : watches) {
    // Pruned first as well: a candidate check may wait for the database to settle.
    for (const std::string& folder : watch.prune_folders) {
      changed |= PruneBackupFolder(folder, kMessageDbFileName) > 0;
    }
    if (watch.found == 0) {
      for (const std::string& candidate : watch.candidates) {
        changed |= CopyIfSettled(found_count, candidate, watch, timing, cancelled);
        if (watch.found != 0 || (cancelled && cancelled())) break;
      }
    }
    for (const std::string& folder : watch.prune_folders) {
      changed |= PruneBackupFolder(folder, kMessageDbFileName) > 0;
    }
  }
  return changed;
}

uint64_t ToolAffinityMask(int processors) {
  const int half = std::min(processors / 2, 64);
  uint64_t mask = 1;
  for (int bit = 0; bit < half; ++bit) mask |= uint64_t{1} << bit;
  return mask;
}

int64_t RunBackupTool(const std::string& executable, const std::vector<std::string>& arguments,
                      const std::string& tool_folder, std::vector<SnapshotWatch>& watches,
                      const SnapshotTiming& timing, const CancelCheck& cancelled) {
  const pid_t pid = ::access(executable.c_str(), X_OK) == 0 ? SpawnTool(executable, arguments) : -1;
  if (pid < 0) {
    LOG(ERROR) << "cannot start " << executable;
    return kSnapshotToolNotStarted;
  }
  const std::string key = "snapshot-" + std::to_string(pid);
  ChildProcessRegistry::GetInstance().Add(key, pid, tool_folder);
  bool exited = false;
  auto ended = [&] {
    if (exited) return true;
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    exited = done == pid || done < 0;
    return exited;
  };
  int32_t found_count = 0;
  bool was_cancelled = false;
  auto last_change = std::chrono::steady_clock::now();
  for (;;) {
    if (ended()) {
      PollSnapshot(watches, &found_count, timing, cancelled);
      break;
    }
    if (!WaitFor(timing.poll, cancelled, ended)) {
      was_cancelled = true;
      break;
    }
    if (PollSnapshot(watches, &found_count, timing, cancelled)) {
      last_change = std::chrono::steady_clock::now();
    }
    if (cancelled && cancelled()) {
      was_cancelled = true;
      break;
    }
    if (found_count == 1) break;
    if (std::chrono::steady_clock::now() - last_change > timing.stall) {
      LOG(ERROR) << "the backup tool made no progress for " << timing.stall.count() << " s";
      break;
    }
  }
  ChildProcessRegistry::GetInstance().Remove(key);
  if (!exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  DeleteFolder(tool_folder);
  return was_cancelled ? 6 : kSnapshotOk;
}

SnapshotOutcome TakeMessageSnapshot(const std::string& udid, DhTask* task) {
  std::optional<std::string> device_folder = DeviceWorkFolder(udid);
  if (!device_folder) return {kRefusedDeviceIdentifier, ""};
  const std::string backup_folder = *device_folder + "Backup0/";
  std::error_code error;
  fs::create_directories(backup_folder, error);
  // A copy from an earlier snapshot must not pass for this one's.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::remove(backup_folder + kMessageDbFileName + suffix, error);
  }
  const std::string executable = FindInPath(kToolName);
  if (executable.empty()) {
    LOG(ERROR) << "the backup tool " << kToolName << " is not installed";
    return {kSnapshotFailed, ""};
  }
  const std::string tool_folder = backup_folder + udid + "/";
  std::vector<SnapshotWatch> watches{
      MakeSnapshotWatch(tool_folder, backup_folder, kMessageDbFileName)};
  SnapshotTiming timing;
  timing.stall = BackupStallLimit();
  const CancelCheck cancelled = [task] { return task != nullptr && IsCancelled(*task); };
  const int64_t run = RunBackupTool(executable, {"-u", udid, "backup", backup_folder},
                                    tool_folder, watches, timing, cancelled);
  if (run == 6) return {6, ""};
  if (run != 0) return {kSnapshotFailed, ""};
  SnapshotOutcome outcome;
  for (const SnapshotWatch& watch : watches) {
    if (watch.found == 1 && watch.marker == 1) {
      outcome.path = watch.destination;
      break;
    }
  }
  return outcome;
}
