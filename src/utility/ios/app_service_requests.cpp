#include "utility/ios/app_service_requests.h"

#include "common/cf_plist_builder.h"

namespace {

const char* const kFullBrowseAttributes[] = {
    "CFBundleIdentifier", "ApplicationType", "iTunesMetadata",
    "ApplicationSINF",    "CFBundleVersion", "CFBundleShortVersionString",
    "Path",               "CFBundleDisplayName", "CFBundleName"};
const char* const kDiskUsageAttributes[] = {"DynamicDiskUsage", "StaticDiskUsage"};

BinaryPlistPtr BrowseWith(bool names_and_metadata, bool disk_usage) {
  CFPlistBuilder b;
  CFMutableArrayRef attributes = b.Array();
  if (names_and_metadata) {
    for (const char* name : kFullBrowseAttributes) b.Append(attributes, b.String(name));
  } else {
    b.Append(attributes, b.String("CFBundleIdentifier"));
  }
  if (disk_usage) {
    for (const char* name : kDiskUsageAttributes) b.Append(attributes, b.String(name));
  }
  CFMutableDictionaryRef options = b.Dictionary();
  b.Set(options, "ApplicationType", b.String("User"));
  b.Set(options, "ReturnAttributes", attributes);
  CFMutableDictionaryRef request = b.Dictionary();
  b.Set(request, "ClientOptions", options);
  b.Set(request, "Command", b.String("Browse"));
  return b.ToBinary(request);
}

}  // namespace

BinaryPlistPtr BuildBrowseRequest(bool full) { return BrowseWith(full, !full); }

BinaryPlistPtr BuildListingBrowseRequest() { return BrowseWith(true, true); }

BinaryPlistPtr BuildInstallRequest(std::string_view package_path) {
  CFPlistBuilder b;
  CFMutableDictionaryRef request = b.Dictionary();
  b.Set(request, "PackagePath", b.String(package_path));
  b.Set(request, "Command", b.String("Upgrade"));
  return b.ToBinary(request);
}

BinaryPlistPtr BuildApplicationCommand(const char* command, std::string_view bundle_id) {
  CFPlistBuilder b;
  CFMutableDictionaryRef request = b.Dictionary();
  b.Set(request, "ApplicationIdentifier", b.String(bundle_id));
  b.Set(request, "Command", b.String(command));
  return b.ToBinary(request);
}

BinaryPlistPtr BuildIconRequest(std::string_view bundle_id) {
  CFPlistBuilder b;
  CFMutableDictionaryRef request = b.Dictionary();
  b.Set(request, "bundleId", b.String(bundle_id));
  b.Set(request, "command", b.String("getIconPNGData"));
  return b.ToBinary(request);
}
