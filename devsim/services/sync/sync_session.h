// The device side of one com.apple.mobilesync conversation, free of sockets: DeviceLink
// messages in, the device's replies out. It offers the DeviceLink version, opens data
// classes, sends their records in batches, takes the host's changes and commits them to the
// class's store when the host finishes; anything unfinished is dropped.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plist/plist_ptr.h"
#include "services/sync/sync_changes.h"
#include "services/sync/sync_classes.h"
#include "services/sync/sync_settings.h"
#include "services/sync/sync_store.h"

namespace devsim {

struct SyncSessionConfig {
  fs::path sync_dir;                    // the device's store files
  SyncSettings settings;
  std::set<std::string> cloud_classes;  // class keys synced over the air: no records here
  std::set<std::string> refused_classes;  // class keys tethered sync is turned off for
  std::function<std::time_t()> clock;   // for the device anchors; null: the real clock
};

class MobileSyncSession {
 public:
  explicit MobileSyncSession(SyncSessionConfig config);

  // ["DLMessageVersionExchange", major, minor]: the device speaks first.
  Plist VersionOffer() const;
  // Handles one host message (any property list); returns the replies in order. `close`
  // tells the connection to end after sending them.
  std::vector<Plist> Handle(plist_t message, bool* close);
  // The connection ended or the device gave up: drops the open class's changes.
  void Abort();

  // The open class's name, empty when none is open.
  std::string open_class() const;

 private:
  enum class State { kAwaitVersion, kIdle, kOpen, kSending, kReceiving };

  struct OpenClass {
    const SyncClassInfo* info = nullptr;
    std::shared_ptr<SyncStore> store;
    std::unique_ptr<SyncWorkingCopy> work;
    SyncAnchors anchors;                 // committed when the host finishes
    std::vector<SyncBatch> batches;      // of the pull under way
    size_t next_batch = 0;
    bool full_pull = false;
    std::vector<std::string> delivered;  // pending changes sent to the host
  };

  std::vector<Plist> OpenDataClass(plist_t msg, bool* close);
  std::vector<Plist> StartPull(bool full);
  Plist NextBatch();
  std::vector<Plist> ApplyPush(plist_t msg);
  std::vector<Plist> Finish();
  std::string NewDeviceAnchor(const SyncClassInfo& cls) const;

  SyncSessionConfig config_;
  State state_ = State::kAwaitVersion;
  std::unique_ptr<OpenClass> open_;
};

// A message array of strings: {"SDMessageDeviceFinishedSession", class} and the like.
Plist SyncMessage(std::initializer_list<std::string> parts);

}  // namespace devsim
