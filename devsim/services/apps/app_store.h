// The applications installed on a simulated device: one folder per bundle id under
// devices/UDID/apps/ holding the attributes installation_proxy reports, the store metadata,
// the SINF and the icon. Installs replace a folder in one rename, so readers never see half
// an application.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "farm/file_util.h"
#include "plist/plist_ptr.h"

namespace devsim {

struct AppRecord {
  std::string bundle_id;
  Plist attributes;                            // dictionary, including the disk usages
  std::optional<std::string> itunes_metadata;  // raw iTunesMetadata.plist bytes
  std::optional<std::string> sinf;             // raw SINF bytes
  std::string icon_png;
};

class AppStore {
 public:
  // An empty path is a store without applications that refuses installs.
  explicit AppStore(fs::path dir) : dir_(std::move(dir)) {}

  // Bundle ids become folder names: letters, digits, '.', '-', '_', 1..255 bytes, not
  // starting with '.'.
  static bool IsValidBundleId(std::string_view id);

  const fs::path& dir() const { return dir_; }
  // Installed bundle ids, sorted.
  std::vector<std::string> BundleIds() const;
  bool Installed(std::string_view id) const;
  // Null when the app is not installed or its attributes are unreadable.
  Plist Attributes(std::string_view id) const;
  std::optional<std::string> ITunesMetadata(std::string_view id) const;
  std::optional<std::string> Sinf(std::string_view id) const;
  std::optional<std::string> Icon(std::string_view id) const;

  // Installs or replaces the app. False with error set on failure (the old version stays).
  bool Put(const AppRecord& app, std::string* error);
  // False when it was not installed.
  bool Remove(std::string_view id);

 private:
  std::optional<std::string> Member(std::string_view id, const char* name) const;
  fs::path dir_;
};

}  // namespace devsim
