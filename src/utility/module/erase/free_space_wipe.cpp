#include "utility/module/erase/free_space_wipe.h"

#include <glog/logging.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "common/afc_file_ops.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

constexpr uint64_t kWipeOpenForWriting = 2;  // AFC mode: read-write, created when missing
constexpr int kAfcStatusNoSpace = 18;         // what a full device answers a write with

// How one file of a pass ended.
enum class WipeFileEnd { kWritten, kFull, kFailed, kCancelled };

WipeFileEnd WriteWipeFile(const FreeSpaceWipe& wipe, AFCFileRef file, const uint8_t* zeros,
                          uint64_t blocks, uint64_t* written) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  for (uint64_t i = 0; i < blocks; ++i) {
    if (wipe.task != nullptr && IsCancelled(*wipe.task)) return WipeFileEnd::kCancelled;
    const int rc = fun.AFCFileRefWrite(wipe.afc, file, zeros, kWipeBlockBytes);
    if (rc == kAfcStatusNoSpace) return WipeFileEnd::kFull;
    if (rc != 0) {
      LOG(WARNING) << "free-space wipe: write failed with " << rc;
      return WipeFileEnd::kFailed;
    }
    *written += kWipeBlockBytes;
  }
  return WipeFileEnd::kWritten;
}

}  // namespace

std::string WipeFileName(int64_t number) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  return std::string(kWipeFolder) + "/" + stamp + "-" + std::to_string(number);
}

int64_t WipeProgress(int64_t pass, int64_t passes, int64_t percent) {
  if (passes <= 0) return 100;
  // Each pass owns an equal share of 0..100, so the last pass ends at 100.
  const int64_t base = (pass - 1) * 100 / passes;
  const int64_t share = pass * 100 / passes - base;
  return base + (percent * share + 99) / 100;
}

EraseResult RunFreeSpaceWipe(const FreeSpaceWipe& wipe) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  EraseResult result;
  const int64_t passes = std::clamp<int64_t>(wipe.level, 0, kWipeMaxPasses);
  const uint64_t total = wipe.free_bytes > 0 ? static_cast<uint64_t>(wipe.free_bytes) : 0;
  std::vector<uint8_t> zeros(kWipeBlockBytes, 0);  // one buffer for every write of the run
  bool covered = total == 0;
  bool stopped = false;
  for (int64_t pass = 1; pass <= passes && !stopped; ++pass) {
    uint64_t written = 0;
    int64_t best = 0;
    int64_t number = 0;
    const uint64_t blocks = static_cast<uint64_t>(pass) * kWipeBlocksPerPassStep;
    bool pass_full = false;
    while (total > 0 && written < total && !pass_full && !stopped) {
      if (wipe.task != nullptr && IsCancelled(*wipe.task)) {
        result = {kEraseCancelled, kEraseCancelledText};
        stopped = true;
        break;
      }
      const std::string name = WipeFileName(++number);
      AFCFileRef file = 0;
      if (fun.AFCFileRefOpen(wipe.afc, name.c_str(), kWipeOpenForWriting, &file) != 0) {
        LOG(WARNING) << "free-space wipe: cannot open " << name;
        result = {kEraseNoFileService, ""};
        stopped = true;
        break;
      }
      // Only bytes the device took count; a full device means the free space is covered.
      const WipeFileEnd end = WriteWipeFile(wipe, file, zeros.data(), blocks, &written);
      fun.AFCFileRefClose(wipe.afc, file);
      if (end == WipeFileEnd::kFull) pass_full = true;
      if (end == WipeFileEnd::kCancelled) {
        result = {kEraseCancelled, kEraseCancelledText};
        stopped = true;
      } else if (end == WipeFileEnd::kFailed) {
        stopped = true;  // the device stopped taking data: not covered (code 2)
      }
      const int64_t percent =
          pass_full ? 100 : static_cast<int64_t>(std::min<uint64_t>(100, written * 100 / total));
      if (percent > best && end != WipeFileEnd::kCancelled) {
        best = percent;
        if (wipe.progress) wipe.progress(WipeProgress(pass, passes, percent));
      }
    }
    covered = pass_full || written >= total;
    RemoveTree(wipe.afc, kWipeFolder, false);
  }
  RemoveTree(wipe.afc, kWipeFolder, true);
  if (result.code == kEraseOk && !covered) result.code = kEraseNotCovered;
  return result;
}
