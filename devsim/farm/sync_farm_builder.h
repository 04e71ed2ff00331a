// Generates the contacts, calendars, bookmarks and notes of a farm device (what `mkfarm
// --contacts N --groups N --calendars N --events N --bookmarks N --notes N` creates): records
// shaped as the device sends them, with contact values, recurrences, alarms, nested
// bookmark folders and dates as property-list dates.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "farm/file_util.h"

namespace devsim {

struct SyncContentSpec {
  uint64_t contacts = 0;
  uint64_t groups = 0;
  uint64_t calendars = 0;
  uint64_t events = 0;  // spread over the writable calendars (one is made if none is asked for)
  uint64_t bookmarks = 0;
  uint64_t notes = 0;
};

// Most records of one kind mkfarm generates.
constexpr uint64_t kMaxFarmSyncRecords = 50000;

// Writes the four class stores into `sync_dir`. False with error set.
bool AddFarmSyncContent(const fs::path& sync_dir, const SyncContentSpec& spec, std::mt19937_64& rng,
                        std::string* error);

}  // namespace devsim
