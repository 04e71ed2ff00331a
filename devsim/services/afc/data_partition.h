// The free space of a device's data partition: the figure the farm recorded, less what has
// been stored since. File writes reserve the bytes they add before they happen, so two
// connections together can never take the partition past full; removals give bytes back.
// Sizes are apparent sizes (what a file reads back as), not the host's allocated blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>

namespace devsim {

class DataPartition {
 public:
  // Without Load the partition is unlimited (devices without a folder, tests).
  DataPartition() = default;
  DataPartition(const DataPartition&) = delete;
  DataPartition& operator=(const DataPartition&) = delete;

  // `recorded_free`: the free bytes the device's values give. `record` is the file that keeps
  // how many bytes were stored under `data_root` when that figure was true; it is written on
  // the first load, so bytes stored later (also across simulator restarts) count as used.
  void Load(uint64_t recorded_free, const std::filesystem::path& data_root,
            const std::filesystem::path& record);
  // Sets the free figure directly (unit tests).
  void SetFree(uint64_t bytes) {
    free_.store(static_cast<int64_t>(bytes));
    limited_.store(true);
  }

  bool limited() const { return limited_.load(); }
  uint64_t FreeBytes() const;
  // Takes `bytes` of the free space; false (nothing taken) when less is free.
  bool Grow(uint64_t bytes);
  void Shrink(uint64_t bytes);

 private:
  std::atomic<bool> limited_{false};
  std::atomic<int64_t> free_{0};
};

// The apparent size of the regular files below `root` (links are not followed).
uint64_t StoredBytes(const std::filesystem::path& root);

}  // namespace devsim
