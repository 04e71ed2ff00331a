// The media-partition folders a private-data wipe empties (photo caches, music, books,
// podcasts, recordings, downloads...), each given a small file so that emptying shows.
#pragma once

#include <cstdint>

#include "farm/file_util.h"

namespace devsim {

// Creates the folders below `media` that do not exist yet and puts one small file with
// seed-derived bytes in every one of them that has no file of its own. False when a
// folder or file cannot be created.
bool AddPrivateDataFolders(const fs::path& media, uint64_t seed);

}  // namespace devsim
