#include "farm/media_folders_builder.h"

#include <random>
#include <system_error>

namespace devsim {
namespace {

struct SampleFolder {
  const char* folder;
  const char* file;  // what a device typically keeps there
};

constexpr SampleFolder kPrivateDataFolders[] = {
    {"PhotoData/Thumbnails", "V2/DCIM/100APPLE/IMG_0001.JPG/5005.JPG"},
    {"PhotoData/MISC", "DCIM_APPLE.plist"},
    {"PhotoData/Metadata", "DCIM/100APPLE/IMG_0001.THM"},
    {"PhotoData/Videos", "VIDEO_0001.MOV"},
    {"PhotoData/AlbumsMetadata", "album.foldermetadata"},
    {"PhotoData/Logs", "photos.log"},
    {"PhotoData/Caches", "search/cache.db"},
    {"PhotoData/PhotoCloudSharingData", "stream/asset.jpg"},
    {"Photos", "Photo Database"},
    {"PhotoStreamsData", "stream.plist"},
    {"DCIM", "100APPLE/IMG_9001.JPG"},
    {"iTunes_Control/Music", "F00/ABCD.mp3"},
    {"iTunes_Control/Artwork", "Originals/00/art.jpg"},
    {"iTunes_Control/iTunes/Artwork", "artwork.db"},
    {"iTunes_Control/Sync", "Media/sync.plist"},
    {"Books", "Purchases/book.plist"},
    {"Podcasts", "episode.mp3"},
    {"Purchases", "pending.plist"},
    {"Radio", "Radio.plist"},
    {"Recordings", "Recording 1.m4a"},
    {"Downloads", "downloads.28.sqlitedb"},
};

bool HoldsFile(const fs::path& folder) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) return true;
  }
  return false;
}

}  // namespace

bool AddPrivateDataFolders(const fs::path& media, uint64_t seed) {
  std::mt19937_64 rng(seed ^ 0x6d656469615f6664ull);
  std::error_code ec;
  for (const SampleFolder& sample : kPrivateDataFolders) {
    const fs::path folder = media / sample.folder;
    fs::create_directories(folder, ec);
    if (ec) return false;
    if (HoldsFile(folder)) continue;
    const fs::path file = folder / sample.file;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return false;
    std::string bytes(256 + rng() % 1024, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
    if (!WriteFileAtomic(file, bytes)) return false;
  }
  return true;
}

}  // namespace devsim
