// Voice memos in the media partition's Recordings folder, from the three places the
// device's firmware versions keep them: the recordings database (Recordings.db), the asset
// manifest (AssetManifest.plist) and the edited recordings' .composition folders.
#pragma once

#include <cstdint>
#include <string>

#include "farm/file_util.h"

namespace devsim {

constexpr uint64_t kMaxFarmMemos = 10'000;

// Writes `memos` recordings (non-empty .m4a files) under `fsroot`/private/var/mobile/Media/
// Recordings: memo i is described by the database when i % 3 == 0 (the first one by the
// manifest as well), by the manifest when i % 3 == 1, and by its .composition folder when
// i % 3 == 2. The database also holds rows a reader must leave out (a path outside the
// folder, a missing file, an empty file, no path, a negative duration). Nothing for 0.
bool WriteVoiceMemos(const fs::path& fsroot, uint64_t memos, uint64_t seed, std::string* error);

}  // namespace devsim
