// Clients of the installation proxy and the icon service for the parts of the agent that
// need the raw device answers (a backup's Info.plist lists the applications with their
// icons). The applications module turns the same answers into front-end messages itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/cf_ref.h"
#include "utility/ios/vado_device.h"

// The full Browse of the user applications, kept as the device's page replies (each a
// dictionary with "CurrentList"). False when the installation proxy could not be started
// or the listing did not end with "Complete".
bool BrowseApplications(const VadoDevice& device, std::vector<CFRef<CFDictionaryRef>>* pages);

// The "CFBundleIdentifier" of every application in the page replies of a Browse, in
// order; entries without one are left out.
std::vector<std::string> ListedBundleIds(const std::vector<CFRef<CFDictionaryRef>>& pages);

// Sends "Uninstall" for `bundle_id` on a started installation-proxy connection and reads
// its answers until the final one. True when that ended with "Complete".
bool UninstallApplication(AMDServiceConnectionRef proxy, const std::string& bundle_id);

// The home-screen icon of one application as PNG bytes; false when the icon service
// could not be started or gave no image.
bool FetchIcon(const VadoDevice& device, const std::string& bundle_id, std::string* png);

// What the raw reply handler keeps: every reply of a single exchange, or the pages of a
// listing until its "Status" is "Complete" or an "Error" ends it.
struct RawReplies {
  bool single = false;
  std::vector<CFRef<CFDictionaryRef>>* replies = nullptr;
  bool finished = false;
  bool complete = false;
};

// The reply handler of both clients (see PlistReplyHandler); replies that are not
// property-list dictionaries are skipped.
void RawReplyHandler(void* context, const char* bytes, uint32_t length, int* read_another,
                     uint32_t* result);
