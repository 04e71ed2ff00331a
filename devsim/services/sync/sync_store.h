// The records of one sync data class on a simulated device (contacts, calendars, bookmarks
// or notes), kept as two property lists in the device's sync/ folder:
//   <class>.plist        {Records: {id: record}, NextRecordNumber}
//   <class>.state.plist  {DeviceAnchor, ComputerAnchor, Pending: {id: entity}}
// Every conversation of this process that uses the same file shares one SyncStore, so new
// identifiers never collide and commits of two conversations do not overwrite each other.
// The store stays in memory and is read again only when its files change on disk.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "farm/file_util.h"
#include "plist/plist_ptr.h"

namespace devsim {

// "No value" in every DeviceLink and sync message; as a pushed record it means "delete".
constexpr const char* kEmptyParameter = "___EmptyParameterString___";
constexpr const char* kEntityKey = "com.apple.syncservices.RecordEntityName";

struct SyncOp {
  enum class Kind { kPut, kDelete, kClear };
  Kind kind = Kind::kPut;
  std::string id;
  Plist record;  // kPut only
};

struct SyncAnchors {
  std::string device;
  std::string computer;
};

// The records file as one commit left it, {Records: {id: record}, ...}. Never changed while
// a conversation holds it.
using SyncSnapshot = std::shared_ptr<const Plist>;
// The id -> record dictionary of a snapshot.
plist_t SnapshotRecords(const SyncSnapshot& snapshot);

class SyncStore {
 public:
  // The shared store of `file` (the records file). A missing or unreadable file is an empty
  // store; it is written at the first commit that changes records.
  static std::shared_ptr<SyncStore> Open(const fs::path& file);

  explicit SyncStore(fs::path file);
  SyncStore(const SyncStore&) = delete;
  SyncStore& operator=(const SyncStore&) = delete;

  // Every record: id -> record dictionary. Read only.
  SyncSnapshot Records() const;
  // Changes made on the device since the last sync: id -> entity name. An id whose record
  // is gone stands for a deletion.
  std::map<std::string, std::string> Pending() const;
  SyncAnchors Anchors() const;

  // Claims `id` for a record being created: false when a stored record has it or another
  // conversation has claimed it.
  bool Claim(const std::string& id);
  // The next record number for numbered identifiers (contacts "12", groups "Group/13" ...).
  uint64_t NextNumber();

  // Applies `ops` in order to the stored records, records the anchors, forgets the pending
  // changes named in `delivered`, and writes the files. On failure nothing changes.
  bool Commit(const std::vector<SyncOp>& ops, const SyncAnchors* anchors,
              const std::vector<std::string>& delivered, std::string* error);

  // Writes a whole store at once (the farm builder). Replaces whatever the files held.
  static bool Write(const fs::path& file, plist_t records, uint64_t next_number,
                    std::string* error);
  // The state file beside a records file.
  static fs::path StateFile(const fs::path& file);

 private:
  struct Stamp {
    bool exists = false;
    int64_t mtime_ns = 0;
    int64_t size = 0;
    bool operator==(const Stamp&) const = default;
  };
  static Stamp StampOf(const fs::path& path);
  // Reads the files again when they changed on disk since they were last read or written.
  void Refresh();
  void LoadRecordsLocked();
  void LoadStateLocked();
  Plist StatePlist(const std::map<std::string, std::string>& pending, const SyncAnchors& anchors) const;

  fs::path file_;
  mutable std::mutex mu_;  // guards everything below
  std::shared_ptr<Plist> records_;  // the records file: {Records, NextRecordNumber}
  Stamp records_stamp_, state_stamp_;
  std::map<std::string, std::string> pending_;
  SyncAnchors anchors_;
  uint64_t next_number_ = 1;
  std::set<std::string> claimed_;
};

// Applies one operation to a records dictionary (shared by the store and the conversation's
// working copy).
void ApplySyncOp(plist_t records, const SyncOp& op);

}  // namespace devsim
