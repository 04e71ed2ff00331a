// com.apple.mobile.installation_proxy's command logic, free of sockets: one request
// dictionary in, its messages out through a sink (progress, pages, then Complete or an
// Error). Browse, Lookup, Install, Upgrade, Uninstall, Archive, RemoveArchive, Restore and
// LookupArchives.
#pragma once

#include <functional>
#include <string>

#include "services/apps/app_store.h"
#include "farm/path_jail.h"
#include "plist/plist_ptr.h"

namespace devsim {

struct InstproxyEnv {
  AppStore& apps;
  const PathJail& media;        // package paths and ApplicationArchives/ resolve in here
  std::string product_version;  // the device's iOS version, for MinimumOSVersion
};

// Sends one message to the host; false when the host is gone.
using InstproxySink = std::function<bool(Plist)>;

// Browse answers in pages of this many applications.
constexpr size_t kBrowsePageSize = 10;

// Handles one request. Returns false when the sink failed (the connection is finished).
bool HandleInstproxyRequest(plist_t request, InstproxyEnv& env, const InstproxySink& send);

// The entry of one application as Browse and Lookup report it: only the requested
// attributes when `return_attributes` is an array, else every attribute except the
// expensive ones (disk usage, SINF, store metadata). Null when not installed.
Plist AppEntry(const AppStore& apps, const std::string& id, plist_t return_attributes);

// Numeric comparison of dotted versions ("9.3" < "10.0"); missing parts count as 0.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace devsim
