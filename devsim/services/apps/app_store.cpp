#include "services/apps/app_store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>

namespace devsim {
namespace {

constexpr size_t kMaxBundleId = 255;
constexpr const char* kAttributesFile = "Attributes.plist";
constexpr const char* kMetadataFile = "iTunesMetadata.plist";
constexpr const char* kSinfFile = "ApplicationSINF.sinf";
constexpr const char* kIconFile = "icon.png";

// Installs and removals of every device are serialised; they are rare and short.
std::mutex& WriteMutex() {
  static std::mutex mu;
  return mu;
}

std::string UniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

bool AppStore::IsValidBundleId(std::string_view id) {
  if (id.empty() || id.size() > kMaxBundleId || id[0] == '.') return false;
  for (char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::vector<std::string> AppStore::BundleIds() const {
  std::vector<std::string> ids;
  if (dir_.empty()) return ids;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (IsValidBundleId(name) && it->is_directory(ec)) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool AppStore::Installed(std::string_view id) const {
  std::error_code ec;
  return !dir_.empty() && IsValidBundleId(id) && fs::is_regular_file(dir_ / std::string(id) / kAttributesFile, ec);
}

std::optional<std::string> AppStore::Member(std::string_view id, const char* name) const {
  if (dir_.empty() || !IsValidBundleId(id)) return std::nullopt;
  return ReadWholeFile(dir_ / std::string(id) / name);
}

Plist AppStore::Attributes(std::string_view id) const {
  auto bytes = Member(id, kAttributesFile);
  if (!bytes) return nullptr;
  Plist p = ParsePlist(*bytes);
  return IsDict(p.get()) ? std::move(p) : nullptr;
}

std::optional<std::string> AppStore::ITunesMetadata(std::string_view id) const {
  return Member(id, kMetadataFile);
}
std::optional<std::string> AppStore::Sinf(std::string_view id) const { return Member(id, kSinfFile); }
std::optional<std::string> AppStore::Icon(std::string_view id) const { return Member(id, kIconFile); }

bool AppStore::Put(const AppRecord& app, std::string* error) {
  if (dir_.empty() || !IsValidBundleId(app.bundle_id) || !IsDict(app.attributes.get())) {
    *error = "invalid bundle id or attributes";
    return false;
  }
  std::lock_guard<std::mutex> lock(WriteMutex());
  std::error_code ec;
  fs::create_directories(dir_, ec);
  fs::path tmp = dir_ / (".new-" + UniqueSuffix());
  fs::create_directories(tmp, ec);
  bool ok = !ec && WritePlistFile(tmp / kAttributesFile, app.attributes.get()) &&
            (!app.itunes_metadata || WriteFileAtomic(tmp / kMetadataFile, *app.itunes_metadata)) &&
            (!app.sinf || WriteFileAtomic(tmp / kSinfFile, *app.sinf)) &&
            (app.icon_png.empty() || WriteFileAtomic(tmp / kIconFile, app.icon_png));
  if (!ok) {
    fs::remove_all(tmp, ec);
    *error = "cannot write the application folder";
    return false;
  }
  fs::path target = dir_ / app.bundle_id;
  fs::path old = dir_ / (".old-" + UniqueSuffix());
  bool had_old = fs::exists(target, ec);
  if (had_old) fs::rename(target, old, ec);
  if (ec) {
    fs::remove_all(tmp, ec);
    *error = "cannot move the old version aside";
    return false;
  }
  fs::rename(tmp, target, ec);
  if (ec) {
    std::error_code ignored;
    if (had_old) fs::rename(old, target, ignored);
    fs::remove_all(tmp, ignored);
    *error = "cannot move the application into place";
    return false;
  }
  if (had_old) fs::remove_all(old, ec);
  return true;
}

bool AppStore::Remove(std::string_view id) {
  if (dir_.empty() || !IsValidBundleId(id)) return false;
  std::lock_guard<std::mutex> lock(WriteMutex());
  std::error_code ec;
  fs::path target = dir_ / std::string(id);
  if (!fs::is_directory(fs::symlink_status(target, ec))) return false;
  return fs::remove_all(target, ec) > 0 && !ec;
}

}  // namespace devsim
