// Info.plist of a backup folder: what the computer records about the device, its
// applications and its media-library files, written in binary form.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "iOSAPI/mobile_device_api.h"
#include "utility/ios/vado_device.h"

// The home-screen icon of an application as PNG bytes; false when there is none.
using IconFetcher = std::function<bool(const std::string& bundle_id, std::string* png)>;

// Writes `path`. `apps` are the installation proxy's entries (CF dictionaries); `afc`
// reads the media-library files (null: none are read). False when the file cannot be
// serialised or written.
bool WriteInfoPlist(VadoDevice& device, AFCConnectionRef afc,
                    const std::vector<CFDictionaryRef>& apps, const IconFetcher& fetch_icon,
                    const std::string& path);

// 32 characters from "ABCDEF0123456789".
std::string MakeBackupGuid();
