#include "utility/module/database/device_folder.h"

#include <filesystem>

#include "common/afc_file_ops.h"
#include "common/process_state.h"
#include "common/text_convert.h"
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

std::optional<std::string> CopyDeviceFileWithCompanions(AFCConnectionRef afc,
                                                        const std::string& device_path,
                                                        const std::string& folder,
                                                        const std::string& local_name,
                                                        const std::vector<std::string>& suffixes,
                                                        DhTask* task) {
  std::error_code error;
  for (const std::string& suffix : suffixes) std::filesystem::remove(folder + local_name + suffix, error);
  const std::string local = folder + local_name;
  const std::u16string local_wide = Utf8ToUtf16(local);
  if (!CopyFileFromDevice(afc, device_path, &local_wide, nullptr, task)) return std::nullopt;
  for (const std::string& suffix : suffixes) {
    const std::u16string companion = Utf8ToUtf16(local + suffix);
    CopyFileFromDevice(afc, device_path + suffix, &companion, nullptr, task);
  }
  return local;
}
