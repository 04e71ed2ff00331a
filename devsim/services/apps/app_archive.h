// Packs an installed application back into a package (what Archive leaves in the media
// folder's ApplicationArchives/): Payload/<Name>.app with the Info.plist, a placeholder
// executable, the SINF, and iTunesMetadata.plist at the root. The package installs again.
#pragma once

#include <string>

#include "services/apps/app_store.h"

namespace devsim {

// Writes the archive to fd (an empty file opened for writing). False on any failure.
bool WriteAppArchive(int fd, const AppStore& store, const std::string& bundle_id);

}  // namespace devsim
