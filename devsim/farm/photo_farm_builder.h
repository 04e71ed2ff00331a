// The device's photo library: media files under Media/DCIM/1xxAPPLE/, the library database
// Media/PhotoData/Photos.sqlite in the schema of the device's firmware, albums, and small
// thumbnails in the three places desktop software looks for them.
#pragma once

#include <cstdint>
#include <string>

#include "farm/file_util.h"

namespace devsim {

enum class PhotoSchema {
  kByFirmware,  // iOS 4-5 tables up to 5, ZGENERICASSET up to 13, ZASSET from 14
  kIos5,        // Photo, PhotoAlbum, PhotoAlbumToPhotoJoin
  kIos6,        // ZGENERICASSET, ZGENERICALBUM, ZADDITIONALASSETATTRIBUTES, Z_<n>ASSETS
  kIos14,       // the same with ZASSET
};

struct PhotoContentSpec {
  uint64_t photos = 0;  // no library when 0
  uint64_t albums = 0;  // user albums
  PhotoSchema schema = PhotoSchema::kByFirmware;
};

constexpr uint64_t kMaxFarmPhotos = 200'000;
constexpr uint64_t kMaxFarmAlbums = 1'000;
// Only the first this many photos get a thumbnail file, so that large libraries stay quick
// to generate.
constexpr uint64_t kMaxFarmThumbnails = 2'000;

// "ios5", "ios6", "ios14"; false for anything else.
bool ParsePhotoSchema(const std::string& text, PhotoSchema* out);

// Writes the library below `fsroot`/private/var/mobile/Media for firmware
// `product_version` ("12.4"): the same seed gives the same library. False with `error` set
// on failure.
bool WritePhotoLibrary(const fs::path& fsroot, const std::string& product_version,
                       const PhotoContentSpec& content, uint64_t seed, std::string* error);

}  // namespace devsim
