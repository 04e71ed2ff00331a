// The requests sent to the installation proxy and the icon service, as binary property
// lists. Texts are put into the dictionaries as values, so any bundle id or path travels
// whole and exactly.
#pragma once

#include <string_view>

#include "common/binary_plist.h"

inline constexpr const char* kInstallationProxyService = "com.apple.mobile.installation_proxy";
inline constexpr const char* kSpringboardService = "com.apple.springboardservices";

// Browse of the user applications: with their names, versions and store metadata
// (`full`), or only their disk usage.
BinaryPlistPtr BuildBrowseRequest(bool full);
// Browse of the user applications with everything of the full browse and the disk usage,
// so a listing needs one pass over the device's applications, not two.
BinaryPlistPtr BuildListingBrowseRequest();

// {"Command": command, "PackagePath": path} for "Upgrade".
BinaryPlistPtr BuildInstallRequest(std::string_view package_path);

// {"Command": command, "ApplicationIdentifier": id} for "Uninstall" and "Archive".
BinaryPlistPtr BuildApplicationCommand(const char* command, std::string_view bundle_id);

// {"command": "getIconPNGData", "bundleId": id}.
BinaryPlistPtr BuildIconRequest(std::string_view bundle_id);
