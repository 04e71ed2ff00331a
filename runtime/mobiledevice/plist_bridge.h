// Conversions between libplist trees and CoreFoundation objects. Both directions go through
// the binary property-list format, so the CF layer's own reader (with its depth and size
// checks) decides what a device value becomes.
#pragma once

#include <plist/plist.h>

#include <string>

#include "md_api.h"

namespace md {

// A new CF object (the caller releases it) for `node`, or null when it cannot be converted.
CFTypeRef PlistToCf(plist_t node);

// A new libplist tree (the caller frees it) for a CF property-list object, or null.
plist_t CfToPlist(CFTypeRef value);

// UTF-8 text of a CF string; false for null or a non-string.
bool CfStringToUtf8(CFStringRef string, std::string* out);

}  // namespace md
