// Reads what an installer needs from an application package (a zip archive): the bundle's
// Info.plist, the store metadata, the SINF and the payload size. Reads through an open file
// descriptor, so the caller decides (inside its jail) which file that is. Every member read
// is bounded; a damaged archive is an error, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "plist/plist_ptr.h"

namespace devsim {

struct IpaContents {
  std::string app_dir;  // "Payload/Name.app/"
  Plist info;           // the bundle's Info.plist (dictionary)
  std::optional<std::string> itunes_metadata;  // iTunesMetadata.plist at the archive root
  std::optional<std::string> sinf;             // Payload/Name.app/SC_Info/<executable>.sinf
  bool has_executable = false;                 // the CFBundleExecutable member exists
  uint64_t payload_bytes = 0;                  // uncompressed size of everything under Payload/
};

enum class IpaError {
  kNone,
  kNotZip,          // not a readable zip archive
  kNoBundle,        // no Payload/*.app/Info.plist
  kBadInfoPlist,    // Info.plist is not a dictionary property list
  kDamagedMember,   // a needed member fails to inflate or its checksum is wrong
  kMemberTooLarge,  // a needed member is larger than the installer accepts
};

// Members the installer reads into memory are at most this large.
constexpr uint64_t kMaxIpaMember = 8u << 20;
// Archives with more entries are refused before any is read.
constexpr uint64_t kMaxIpaEntries = 200000;
// ... or more than this many bytes of member names (the listing is kept in memory).
constexpr size_t kMaxIpaNameBytes = 32u << 20;

IpaError ReadIpa(int fd, IpaContents* out);
const char* IpaErrorText(IpaError e);

}  // namespace devsim
