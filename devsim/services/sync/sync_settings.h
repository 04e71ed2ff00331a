// How a simulated device's mobilesync behaves, from its sync/settings.plist (read at every
// connection, so a test may change it while the daemon runs):
//   DeviceLinkVersion   [major, minor] offered in the version exchange
//   BatchSize           integer for every class, or {Contacts: n, Calendars: n, ...};
//                       records per batch of a full pull, 0 = everything in one batch
//   EchoModifiedRemaps  also answer pushes of existing records with id -> id remaps
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "farm/file_util.h"
#include "services/sync/sync_classes.h"

namespace devsim {

struct SyncSettings {
  uint64_t version_major = 300;
  uint64_t version_minor = 100;
  std::map<std::string, size_t> batch_size;  // by class key; absent: the class default
  bool echo_modified_remaps = false;

  size_t BatchSize(const SyncClassInfo& cls) const;
};

// Largest batch size a settings file may ask for; larger values are clamped.
constexpr size_t kMaxSyncBatchSize = 1000000;

// The defaults for a device running `product_version` (iOS 14 and later offer DeviceLink
// 400), then whatever `settings` (may be null) overrides.
SyncSettings MakeSyncSettings(plist_t settings, const std::string& product_version);

}  // namespace devsim
