#include "utility/module/photo/photo_transfer.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "common/dh_task.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

constexpr size_t kPhotoReadBlock = 64 * 1024;
constexpr uint64_t kPhotoReadMode = 1;

}  // namespace

bool ReadPhotoFile(AFCConnectionRef afc, const std::string& device_path,
                   const std::string& local_path, std::string* bytes, int64_t max_bytes,
                   DhTask* task) {
  CMobileExportFun& fun = Fun();
  AFCFileRef file = 0;
  if (fun.AFCFileRefOpen(afc, device_path.c_str(), kPhotoReadMode, &file) != 0) return false;
  std::FILE* out = nullptr;
  if (!local_path.empty()) {
    out = std::fopen(local_path.c_str(), "wb");
    if (out == nullptr) {
      fun.AFCFileRefClose(afc, file);
      return false;
    }
  }
  std::vector<char> buffer(kPhotoReadBlock);
  int64_t total = 0;
  bool ok = true;
  for (;;) {
    if (task != nullptr && IsCancelled(*task)) {
      ok = false;
      break;
    }
    size_t length = buffer.size();
    if (fun.AFCFileRefRead(afc, file, buffer.data(), &length) != 0 || length > buffer.size()) {
      ok = false;
      break;
    }
    if (length == 0) break;
    total += static_cast<int64_t>(length);
    if (total > max_bytes) {
      ok = false;
      break;
    }
    if (out != nullptr) {
      if (std::fwrite(buffer.data(), 1, length, out) != length) {
        ok = false;
        break;
      }
    } else if (bytes != nullptr) {
      bytes->append(buffer.data(), length);
    }
  }
  fun.AFCFileRefClose(afc, file);
  if (out != nullptr) {
    if (std::fclose(out) != 0) ok = false;
    std::error_code error;
    if (!ok) std::filesystem::remove(local_path, error);
  }
  return ok;
}
