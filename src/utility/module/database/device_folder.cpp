#include "utility/module/database/device_folder.h"

#include <filesystem>

#include "common/process_state.h"
#include "platform/process.h"

bool IsPlainFileName(const std::string& name) {
  constexpr size_t kMaxName = 128;
  if (name.empty() || name.size() > kMaxName || name == "." || name == "..") return false;
  for (char c : name) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                       (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

std::optional<std::string> DeviceWorkFolder(const std::string& udid) {
  if (!IsPlainFileName(udid)) return std::nullopt;
  std::string folder = WorkFolder(true) + udid + "/";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return folder;
}

std::optional<std::string> DeviceTempFile(const std::string& prefix, const std::string& udid,
                                          const std::string& suffix) {
  if (!IsPlainFileName(udid)) return std::nullopt;
  return platform::TempPath() + prefix + udid + suffix;
}
