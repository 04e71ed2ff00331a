// Reads the two small members of an application package (a zip archive) that name it:
// iTunesMetadata.plist at the root and the bundle's Payload/<Name>.app/Info.plist.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Members larger than this are not read (a package's property lists are a few KiB).
inline constexpr size_t kMaxIpaMemberBytes = 8 * 1024 * 1024;

struct IpaMembers {
  bool opened = false;                       // false: not a readable zip archive
  std::optional<std::string> itunes_metadata;
  std::optional<std::string> info_plist;     // of the first Payload/*.app found
};

IpaMembers ReadIpaMembers(const std::string& path);

// The bundle id a package names: the store metadata's, else the Info.plist's
// CFBundleIdentifier; "" when neither has one.
std::string IpaBundleId(const IpaMembers& members);

// A file name for staging a package on the device: the bundle id when it is a plain
// name, else the id with every character outside [A-Za-z0-9._-] replaced and a leading
// dot guarded, so the staged path never leaves its folder; "package" for an empty id.
std::string StagedPackageName(const std::string& bundle_id);
