// Reads a local copy of a device's photo database and hands the results to a sink: the
// photo list, the album list and the items of one album, each in one implementation for
// the iOS 4-5 tables and one for the iOS 6+ tables. Failures are logged with the shared
// database lines and reported by the return value only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Album types of the album list and of album-item requests.
enum PhotoAlbumType : int64_t {
  kAlbumUser = 0,
  kAlbumKind1000 = 1,
  kAlbumFavourites = 2,
  kAlbumScreenshots = 3,
  kAlbumSaved256 = 4,
  kAlbumTrashed = 5,
  kAlbumVideos = 6,
  kAlbumLivePhotos = 7,
  kAlbumBursts = 8,
};

// Photos are sent as a count, then arrays of at most this many objects.
inline constexpr size_t kPhotosPerArray = 600;

class PhotoSink {
 public:
  virtual ~PhotoSink() = default;
  // The number of photos the arrays hold.
  virtual void SendPhotoCount(size_t count) = 0;
  // One compact JSON array of photo objects, in listing order. Arrays may be handed over
  // before the count (so their compression can start); they are sent after it.
  virtual void SendPhotoArray(std::string_view array) = 0;
  // The album objects one album statement produced.
  virtual void SendAlbums(const std::vector<std::string>& objects) = 0;
};

struct PhotoQuery {
  std::string db_path;          // local copy
  std::string product_version;  // the device's, for the asset table's name
  int64_t album_id = 0;
  int64_t album_type = 0;
  PhotoSink* sink = nullptr;
  // Size of a device file (path relative to the media root), -1 when unknown; asked for
  // photos whose recorded size is negative, from a helper thread while the rows are read.
  std::function<int64_t(const std::string&)> file_size;
  std::function<bool()> cancelled;
};

// Results: 0 done, 19 the copy cannot be opened, 20 a needed statement cannot be
// prepared, 18 the album join table is missing, 6 cancelled.
using PhotoImplementation = int64_t (*)(const PhotoQuery&);

// The iOS 6+ photo-list statement for `asset_table`, with or without the trash filter.
std::string PhotoListStatement(const std::string& asset_table, bool trash_filter);

int64_t PhotoListIos4(const PhotoQuery& query);
int64_t PhotoListIos6(const PhotoQuery& query);
int64_t AlbumListIos4(const PhotoQuery& query);
int64_t AlbumListIos6(const PhotoQuery& query);
int64_t AlbumItemsIos4(const PhotoQuery& query);
int64_t AlbumItemsIos6(const PhotoQuery& query);
