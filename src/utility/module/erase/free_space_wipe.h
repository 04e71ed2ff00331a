// Command 1701: overwrites the free space of the data partition with zero-filled files in
// "/iostemp" (one or two passes), so that deleted data can no longer be read back, and
// leaves nothing behind whatever happens after the folder was created.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/dh_task.h"
#include "iOSAPI/mobile_device_api.h"
#include "utility/module/erase/erase_result.h"

inline constexpr char kWipeFolder[] = "/iostemp";
inline constexpr uint64_t kWipeBlockBytes = 8ull << 20;
inline constexpr uint64_t kWipeBlocksPerPassStep = 64;  // pass p writes files of p × 512 MiB
inline constexpr int64_t kWipeMaxPasses = 2;

struct FreeSpaceWipe {
  AFCConnectionRef afc = nullptr;
  DhTask* task = nullptr;
  int64_t level = 0;          // passes asked for; at most two run
  int64_t free_bytes = 0;     // the partition's free space when the wipe starts
  // Percent done (0-100) of the whole wipe, whenever it rises.
  std::function<void(int64_t percent)> progress;
};

// Runs the passes. The folder has been created by the caller; it is emptied after each
// pass and removed at the end.
EraseResult RunFreeSpaceWipe(const FreeSpaceWipe& wipe);

// Name of the `number`th file of a pass: "/iostemp/" + local time "%Y%m%d%H%M%S" + "-" + n.
std::string WipeFileName(int64_t number);

// The progress figure after `percent` of pass `pass` (1-based) of `passes`.
int64_t WipeProgress(int64_t pass, int64_t passes, int64_t percent);
