#include "utility/module/itunes/backup_paths.h"

#include <cstdlib>

namespace {

// True when every '/'-separated component of `relative` is a plain name.
bool IsConfinedRelative(const std::string& relative) {
  if (relative.empty() || relative.front() == '/') return false;
  if (relative.find('\\') != std::string::npos || relative.find('\0') != std::string::npos) {
    return false;
  }
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::string DefaultBackupRoot() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data_home != nullptr && data_home[0] == '/') {
    base = data_home;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  return WithTrailingSeparator(base) + "MobileSync/Backup/";
}

std::string WithTrailingSeparator(std::string root) {
  if (root.empty()) return root;
  while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  if (root.back() == '\\') root.back() = '/';
  if (root.back() != '/') root += '/';
  return root;
}

std::string BackupTimeSuffix(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "-%Y%m%d%H%M%S", &local);
  return text;
}

bool IsPlainDeviceIdentifier(const std::string& udid) {
  constexpr size_t kMaxIdentifier = 64;
  if (udid.empty() || udid.size() > kMaxIdentifier || udid.front() == '-') return false;
  for (char c : udid) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

std::optional<std::string> MapBackupPath(const std::string& device_path, const std::string& udid,
                                         const std::string& suffix, const std::string& root) {
  if (!IsPlainDeviceIdentifier(udid) || device_path.compare(0, udid.size(), udid) != 0) {
    return std::nullopt;
  }
  const std::string rest = device_path.substr(udid.size());
  if (rest.empty()) return root + udid + suffix;
  if (rest.front() != '/' || !IsConfinedRelative(rest.substr(1))) return std::nullopt;
  return root + udid + suffix + rest;
}

std::optional<std::string> MapRestorePath(const std::string& device_path,
                                          const std::string& source_id,
                                          const std::string& folder) {
  if (source_id.empty() || device_path.compare(0, source_id.size(), source_id) != 0) {
    return std::nullopt;
  }
  std::string rest = device_path.substr(source_id.size());
  if (rest.empty() || (rest.front() != '/' && rest.front() != '\\')) return std::nullopt;
  rest.erase(0, 1);
  if (!IsConfinedRelative(rest)) return std::nullopt;
  return folder + rest;
}
