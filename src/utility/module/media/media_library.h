// Readers of the local copies of the device's media library: MediaLibrary.sqlitedb (firmware
// 5 and later) and the older Library.itdb + Locations.itdb pair. They sort the items into
// the four lists the front end shows and read the playlists with their members.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "utility/module/database/sqlite_handles.h"

// The statement that reads the media library's items (MediaLibrary.sqlitedb).
extern const char kMediaLibraryItemStatement[];

struct MediaItem {
  int64_t pid = 0;
  int64_t media_kind = 0;
  int64_t file_size = 0;
  int32_t year = 0;
  int64_t date_modified = 0;
  std::string comment;
  std::string description_long;
  std::string copyright;
  std::string title;
  double total_time_ms = 0;
  std::string duration;  // "mm:ss" or "hh:mm:ss"
  int64_t media_type = 0;
  std::string album;
  int64_t album_pid = 0;
  std::string artist;
  int64_t artist_pid = 0;
  std::string genre;
  int64_t genre_id = 0;
  std::string path;
};

struct MediaPlaylist {
  int64_t pid = 0;
  std::string name;
  int64_t media_type = 0;
  int64_t parent_pid = 0;
  int32_t smart_is_folder = 0;
  std::vector<int64_t> item_pids;
};

struct MediaLists {
  std::vector<MediaItem> songs;
  std::vector<MediaItem> movies;
  std::vector<MediaItem> music_videos;
  std::vector<MediaItem> tv_shows;
};

// Which database a local copy is.
enum class MediaDbKind { kLibrary, kItdb };

// Whole seconds (rounded) of `milliseconds` as "%.2d:%.2d", or "%.2d:%.2d:%.2d" from an hour
// on; negative and non-finite values count as 0.
std::string MediaDurationText(double milliseconds);

// Reads the items of the media library at `path` into `lists`: 0, or 19 when the database
// cannot be opened or its item statement cannot be prepared. Items of total time 0 are left
// out. `cancelled` is polled between rows; a true answer stops with 6.
int64_t ReadMediaLibraryItems(const std::string& path, MediaLists* lists,
                              const std::function<bool()>& cancelled);

// The same for the older library: items of `library` with their locations from
// `locations`; items without a location are left out, and kinds other than 1, 2 and those
// with bit 64 or 32 are dropped.
int64_t ReadOlderLibraryItems(const std::string& library, const std::string& locations,
                              MediaLists* lists, const std::function<bool()>& cancelled);

// The visible playlists of the database at `path` (the library itself and hidden ones left
// out), each with its member pids. A database that cannot be opened gives 19; statements
// that cannot be prepared give fewer playlists or members, never a failure.
int64_t ReadPlaylists(const std::string& path, MediaDbKind kind,
                      std::vector<MediaPlaylist>* playlists);

// The member pids of one playlist; `found` tells whether the playlist is among the visible
// ones. 0 or 19.
int64_t ReadPlaylistItems(const std::string& path, MediaDbKind kind, int64_t playlist_pid,
                          bool* found, std::vector<int64_t>* item_pids);

// Member pids packed as consecutive 8-byte little-endian values; a trailing partial value
// is ignored.
std::vector<int64_t> UnpackPidBlob(const void* bytes, size_t length);

// Whether a path could name a file: not empty, not "/", with a "/" and an extension after
// the last "/".
bool IsMediaFilePath(const std::string& path);
