#include "utility/ios/app_service_requests.h"

#include "common/cf_plist_builder.h"

BinaryPlistPtr BuildBrowseRequest(bool full) {
  static const char* const kFullAttributes[] = {
      "CFBundleIdentifier", "ApplicationType", "iTunesMetadata",
      "ApplicationSINF",    "CFBundleVersion", "CFBundleShortVersionString",
      "Path",               "CFBundleDisplayName", "CFBundleName"};
  static const char* const kSizeAttributes[] = {"CFBundleIdentifier", "DynamicDiskUsage",
                                                "StaticDiskUsage"};
  CFPlistBuilder b;
  CFMutableArrayRef attributes = b.Array();
  if (full) {
    for (const char* name : kFullAttributes) b.Append(attributes, b.String(name));
  } else {
    for (const char* name : kSizeAttributes) b.Append(attributes, b.String(name));
  }
  CFMutableDictionaryRef options = b.Dictionary();
  b.Set(options, "ApplicationType", b.String("User"));
  b.Set(options, "ReturnAttributes", attributes);
  CFMutableDictionaryRef request = b.Dictionary();
  b.Set(request, "ClientOptions", options);
  b.Set(request, "Command", b.String("Browse"));
  return b.ToBinary(request);
}

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
