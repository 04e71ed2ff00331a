#include "services/afc/data_partition.h"

#include <algorithm>
#include <limits>
#include <system_error>

#include "farm/file_util.h"

namespace devsim {

uint64_t StoredBytes(const std::filesystem::path& root) {
  std::error_code ec;
  uint64_t total = 0;
  auto it = std::filesystem::recursive_directory_iterator(
      root, std::filesystem::directory_options::skip_permission_denied, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code size_ec;
    if (it->is_symlink(size_ec) || !it->is_regular_file(size_ec)) continue;
    uint64_t size = it->file_size(size_ec);
    if (!size_ec) total += size;
  }
  return total;
}

void DataPartition::Load(uint64_t recorded_free, const std::filesystem::path& data_root,
                         const std::filesystem::path& record) {
  const uint64_t now = StoredBytes(data_root);
  uint64_t at_record = now;
  Plist saved = ReadPlistFile(record);
  if (auto used = DictUint(saved.get(), "StoredBytes")) {
    at_record = *used;
  } else {
    Plist fresh = NewDict();
    SetUint(fresh.get(), "StoredBytes", now);
    WritePlistFile(record, fresh.get());
  }
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2);
  recorded_free = std::min(recorded_free, kMax);
  int64_t free_now = static_cast<int64_t>(recorded_free);
  if (now > at_record) free_now -= static_cast<int64_t>(std::min(now - at_record, kMax));
  else free_now += static_cast<int64_t>(std::min(at_record - now, kMax));
  free_.store(std::clamp<int64_t>(free_now, 0, static_cast<int64_t>(kMax)));
  limited_.store(true);
}

uint64_t DataPartition::FreeBytes() const {
  if (!limited_.load()) return static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<uint64_t>(std::max<int64_t>(0, free_.load()));
}

bool DataPartition::Grow(uint64_t bytes) {
  if (!limited_.load() || bytes == 0) return true;
  if (bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  const auto want = static_cast<int64_t>(bytes);
  int64_t free_now = free_.load();
  do {
    if (free_now < want) return false;
  } while (!free_.compare_exchange_weak(free_now, free_now - want));
  return true;
}

void DataPartition::Shrink(uint64_t bytes) {
  if (!limited_.load() || bytes == 0) return;
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2);
  free_.fetch_add(static_cast<int64_t>(std::min(bytes, kMax)));
}

}  // namespace devsim
