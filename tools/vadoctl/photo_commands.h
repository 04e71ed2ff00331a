// vadoctl photos: the device's photo library (photos, albums, album items), thumbnails
// written to a folder, and deletion of a photo by name; a readable table on a terminal
// and JSON lines otherwise.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunPhotosCommand(DeviceSession& session, const CliOptions& options);

}  // namespace vadoctl
