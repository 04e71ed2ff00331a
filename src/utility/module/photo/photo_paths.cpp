#include "utility/module/photo/photo_paths.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "common/json_text.h"

namespace {

constexpr size_t kMaxVersionParts = 8;

std::string UpperExtension(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string ext(path.substr(dot));
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ext;
}

bool IsThumbnailedExtension(const std::string& ext) {
  for (const char* known : {".JPG", ".PNG", ".MOV", ".MP4", ".M4V", ".HEIC"}) {
    if (ext == known) return true;
  }
  return false;
}

}  // namespace

std::vector<int64_t> ProductVersionParts(std::string_view version) {
  std::vector<int64_t> parts;
  size_t start = 0;
  while (start <= version.size() && parts.size() < kMaxVersionParts) {
    size_t dot = version.find('.', start);
    if (dot == std::string_view::npos) dot = version.size();
    const std::string_view text = version.substr(start, dot - start);
    int64_t value = text.empty() ? -1 : 0;
    for (char c : text) {
      if (c < '0' || c > '9' || value > 1'000'000) {
        value = -1;
        break;
      }
      value = value * 10 + (c - '0');
    }
    parts.push_back(value);
    if (dot == version.size()) break;
    start = dot + 1;
  }
  return parts;
}

const char* PhotoAssetTable(std::string_view version) {
  const std::vector<int64_t> parts = ProductVersionParts(version);
  const int64_t major = parts.empty() ? -1 : parts[0];
  // "14" itself and every later version compare at least 14.
  return major < 14 ? "ZGENERICASSET" : "ZASSET";
}

std::string MediaRootPath(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return {};
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (path.substr(start, slash - start) == "..") return {};
    start = slash + 1;
  }
  std::string out;
  if (path.front() != '/') out += '/';
  out += path;
  return out;
}

std::string ThumbnailKey(std::string_view path) {
  std::string key;
  for (std::string_view marker :
       {"DCIM/", "PhotoData/Sync/", "PhotoData/CPLAssets/", "PhotoData/CMMAssets/"}) {
    const size_t at = path.find(marker);
    if (at != std::string_view::npos) {
      key = std::string(path.substr(at + marker.size()));
      break;
    }
  }
  std::string out;
  for (char c : key) {
    if (c == '/') {
      out += "___";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> ThumbnailCandidates(std::string_view path, int64_t mtime_seconds) {
  std::vector<std::string> candidates;
  char folder[48];
  std::snprintf(folder, sizeof folder, "/DCIM/.THMB/%02" PRId64 "/", mtime_seconds % 100);
  const std::string key = ThumbnailKey(path);
  const std::string cache = folder + key + "." + std::to_string(mtime_seconds);
  if (!MediaRootPath(cache).empty()) candidates.push_back(cache);
  const std::string ext = UpperExtension(path);
  if (!IsThumbnailedExtension(ext)) return candidates;
  std::string rooted(path);
  if (rooted.empty() || rooted.front() != '/') rooted.insert(rooted.begin(), '/');
  const std::string stem = "/PhotoData/Metadata" + rooted.substr(0, rooted.size() - ext.size() + 1);
  for (std::string candidate :
       {stem + "JPG", stem + "THM", "/PhotoData/Thumbnails/V2" + rooted + "/5003.JPG"}) {
    if (!MediaRootPath(candidate).empty()) candidates.push_back(std::move(candidate));
  }
  return candidates;
}

std::string ThumbnailInfo(std::string_view id, std::string_view path) {
  return "{\"id\":" + JsonQuote(id) + ",\"path\":" + JsonQuote(path) + "}";
}
