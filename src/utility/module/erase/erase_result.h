// The outcome of a wipe and the codes the erase commands answer with.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t kPrivateDataWipeCommand = 1700;
inline constexpr uint32_t kFreeSpaceWipeCommand = 1701;

enum EraseCode : int64_t {
  kEraseOk = 0,
  kEraseNotCovered = 2,  // the free-space wipe ended before the free space was covered
  kEraseCancelled = 6,
  kEraseBadBody = 8,
  kEraseNoInstallProxy = 14,
  kEraseNoFileService = 17,  // also: a temporary file could not be opened
  kEraseNoTempFolder = 47,
};

inline constexpr char kEraseCancelledText[] = "Task cancelled.";

struct EraseResult {
  int64_t code = kEraseOk;
  std::string message;
};
