// The device's media library: audio and video files under iTunes_Control/Music/Fnn/ and the
// database that lists them with their playlists, MediaLibrary.sqlitedb from firmware 5 on,
// the older Library.itdb + Locations.itdb pair before.
#pragma once

#include <cstdint>
#include <string>

#include "farm/file_util.h"

namespace devsim {

enum class MediaSchema {
  kByFirmware,  // the older pair below firmware 5, the media library from 5 on
  kLibrary,     // iTunes_Control/iTunes/MediaLibrary.sqlitedb
  kItdb,        // iTunes_Control/iTunes/iTunes Library.itlp/{Library,Locations}.itdb
};

struct MediaContentSpec {
  uint64_t songs = 0;         // listable songs (every tenth an audiobook, kind 8)
  uint64_t movies = 0;
  uint64_t tvshows = 0;
  uint64_t music_videos = 0;
  uint64_t playlists = 0;     // the first is a smart folder, the second hidden, the third empty
  MediaSchema schema = MediaSchema::kByFirmware;
  // The media library keeps playlist members as pid blobs in container_items (and the
  // container's kinds in media_kinds), as older libraries did, instead of container_item.
  bool playlist_blobs = false;
};

constexpr uint64_t kMaxFarmMediaItems = 200'000;
constexpr uint64_t kMaxFarmPlaylists = 10'000;

// "library", "itdb"; false for anything else.
bool ParseMediaSchema(const std::string& text, MediaSchema* out);

// True when the content asks for any item or playlist.
bool HasMediaContent(const MediaContentSpec& content);

// Writes the library and its files under `fsroot`/private/var/mobile/Media for firmware
// `product_version`. Besides the listable items it writes items that a reader must leave
// out: one of total time 0, one without a location, one whose location has no extension,
// one whose file is missing, and (older library) one of kind 8. Nothing without content.
bool WriteMediaLibrary(const fs::path& fsroot, const std::string& product_version,
                       const MediaContentSpec& content, uint64_t seed, std::string* error);

}  // namespace devsim
