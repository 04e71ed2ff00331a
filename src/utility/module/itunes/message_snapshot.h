// A consistent copy of the device's message database without keeping a whole backup: the
// command-line backup tool writes a backup into the device's work folder while this side
// deletes every other backup file as soon as it appears, copies the database once its
// size holds and it passes SQLite's quick check, and then ends the tool.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/dh_task.h"

enum SnapshotResult : int64_t {
  kSnapshotOk = 0,
  kSnapshotToolNotStarted = 22,  // RunBackupTool: the process could not be created
  kSnapshotFailed = 23,          // TakeMessageSnapshot: the tool could not be started
};

// One watched database.
struct SnapshotWatch {
  int32_t marker = 1;              // a result is taken only from a record marked 1
  std::string candidates[4];       // where the tool may write the file, tried in order
  std::string prune_folders[2];    // pruned on every poll
  std::string destination;         // the accepted copy; "-wal"/"-shm" beside it
  uint64_t last_size = 0;          // shared by the candidates
  int32_t found = 0;               // 1 once accepted
};

// The record for database `name` written under the tool's device folder `tool_folder`
// (with '/'), copied into `backup_folder`.
SnapshotWatch MakeSnapshotWatch(const std::string& tool_folder, const std::string& backup_folder,
                                const std::string& name);

struct SnapshotTiming {
  std::chrono::milliseconds poll{2000};    // between two polls
  std::chrono::milliseconds settle{4000};  // after acceptance, before the copies
  std::chrono::seconds stall{600};         // no change in the folder for this long ends the tool
};

// Asked during waits; true ends the snapshot.
using CancelCheck = std::function<bool()>;

// The quick check's first answer accepts a database when it reads "ok" in any letter case.
bool IsQuickCheckOk(std::string answer);

// Checks one candidate: accepted when its size is non-zero and equal to the size the
// previous poll saw, and a copy of it (path + ".db") passes the quick check. True when
// anything changed (size seen, file accepted).
bool CopyIfSettled(int32_t* found_count, const std::string& path, SnapshotWatch& watch,
                   const SnapshotTiming& timing, const CancelCheck& cancelled);

// Deletes the backup files (names as long as `keep`) in `folder` other than `keep`, walking
// subfolders except "Snapshot" and the two-character folder that holds `keep`. The number
// of files deleted.
size_t PruneBackupFolder(const std::string& folder, const std::string& keep);

// One round over the records: candidates of unaccepted records, then pruning. True when
// anything changed.
bool PollSnapshot(std::vector<SnapshotWatch>& watches, int32_t* found_count,
                  const SnapshotTiming& timing, const CancelCheck& cancelled);

// Processors the tool may run on: the lower half of `processors`, at least processor 0.
uint64_t ToolAffinityMask(int processors);

// Starts `executable` with `arguments`, registers it with its folder among the helper
// processes that must not outlive the agent, and polls until the database is accepted,
// the tool ends, the folder stalls or `cancelled` answers true. The tool is then ended and
// `tool_folder` deleted. 0, 6 when cancelled, or 22 when the process could not be created.
int64_t RunBackupTool(const std::string& executable, const std::vector<std::string>& arguments,
                      const std::string& tool_folder, std::vector<SnapshotWatch>& watches,
                      const SnapshotTiming& timing, const CancelCheck& cancelled);

struct SnapshotOutcome {
  int64_t code = 0;
  std::string path;  // empty when the tool ended without the database being accepted
};

// The whole snapshot for device `udid`: 0 with the copy's path (empty when none was
// accepted), 6 when `task` was cancelled, 23 when the tool could not be started, 24 for an
// identifier that cannot name a folder.
SnapshotOutcome TakeMessageSnapshot(const std::string& udid, DhTask* task);
