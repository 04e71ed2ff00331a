// Builds application packages for tests with minizip: a list of members, written as a zip.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace devsim::testing {

using ZipMembers = std::vector<std::pair<std::string, std::string>>;  // name, bytes

bool WriteZip(const std::filesystem::path& path, const ZipMembers& members);

// Members of a well-formed package: Payload/<exe>.app/Info.plist (XML), the executable,
// a SINF and iTunesMetadata.plist naming the same bundle.
ZipMembers PackageMembers(const std::string& bundle_id, const std::string& exe,
                          const std::string& version, const std::string& min_os = "14.0");

}  // namespace devsim::testing
