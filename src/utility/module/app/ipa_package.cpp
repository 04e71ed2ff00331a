#include "utility/module/app/ipa_package.h"

#include <minizip/unzip.h>

#include <memory>

#include <rapidjson/document.h>

#include "utility/module/app/app_object.h"
#include "common/plist_reader.h"

namespace {

struct ZipCloser {
  void operator()(void* zip) const { unzClose(static_cast<unzFile>(zip)); }
};

// The current member, when it inflates to at most kMaxIpaMemberBytes.
std::optional<std::string> ReadCurrentMember(unzFile zip) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) return std::nullopt;
  std::string bytes;
  char chunk[16384];
  bool ok = true;
  for (;;) {
    int got = unzReadCurrentFile(zip, chunk, sizeof chunk);
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<size_t>(got) > kMaxIpaMemberBytes) {
      ok = false;
      break;
    }
    bytes.append(chunk, static_cast<size_t>(got));
  }
  // A CRC mismatch shows up when the member is closed after a whole read.
  if (unzCloseCurrentFile(zip) != UNZ_OK) ok = false;
  if (!ok) return std::nullopt;
  return bytes;
}

// "Payload/<Name>.app/Info.plist" with exactly one folder level under Payload/.
bool IsBundleInfoPlist(const std::string& name) {
  const std::string prefix = "Payload/";
  const std::string suffix = ".app/Info.plist";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  std::string folder = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  return folder.find('/') == std::string::npos;
}

std::string PlistBundleId(const std::string& bytes, const char* key) {
  PlistValue value;
  if (!PlistBytesToValue(bytes.data(), bytes.size(), &value)) return {};
  const PlistValue::Array& items = value.array();
  if (items.empty() || items[0].tag() != kPlistDictionary) return {};
  return PlistText(*items[0].dictionary(), key).value_or("");
}

}  // namespace

IpaMembers ReadIpaMembers(const std::string& path) {
  IpaMembers members;
  std::unique_ptr<void, ZipCloser> zip(unzOpen64(path.c_str()));
  if (!zip) return members;
  members.opened = true;
  unzFile file = static_cast<unzFile>(zip.get());
  for (int rc = unzGoToFirstFile(file); rc == UNZ_OK; rc = unzGoToNextFile(file)) {
    char name[1024];
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(file, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) {
      break;
    }
    // Names longer than the buffer are cut; they are not the members looked for.
    if (info.size_filename >= sizeof name) continue;
    std::string member(name);
    if (!members.itunes_metadata && member == "iTunesMetadata.plist") {
      members.itunes_metadata = ReadCurrentMember(file);
    } else if (!members.info_plist && IsBundleInfoPlist(member)) {
      members.info_plist = ReadCurrentMember(file);
    }
    if (members.itunes_metadata && members.info_plist) break;
  }
  return members;
}

std::string IpaBundleId(const IpaMembers& members) {
  if (members.itunes_metadata) {
    rapidjson::Document app(rapidjson::kObjectType);
    if (AppendStoreMetadataBytes(*members.itunes_metadata, &app, app.GetAllocator())) {
      std::string id = JsonMemberText(app, "CFBundleIdentifier");
      if (!id.empty()) return id;
    }
  }
  if (members.info_plist) return PlistBundleId(*members.info_plist, "CFBundleIdentifier");
  return {};
}

std::string StagedPackageName(const std::string& bundle_id) {
  if (bundle_id.empty()) return "package";
  std::string name;
  name.reserve(bundle_id.size());
  for (char c : bundle_id) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  if (name[0] == '.') name.insert(name.begin(), '_');
  return name;
}
