// Reads arbitrary bytes as a device's photo database, the way commands 400-402 read the
// copy of Photos.sqlite: every implementation, for an older and a later firmware.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "utility/module/photo/photo_library.h"

namespace {

class CountingSink : public PhotoSink {
 public:
  void SendPhotoCount(size_t count) override { sent += count; }
  void SendPhotoArray(std::string_view array) override { sent += array.size(); }
  void SendAlbums(const std::vector<std::string>& objects) override { sent += objects.size(); }
  size_t sent = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/vado-fuzz-photos-" + std::to_string(::getpid()) + ".sqlite";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  std::remove((path + "-journal").c_str());
  std::remove((path + "-wal").c_str());
  CountingSink sink;
  for (const char* version : {"12.4", "16.6"}) {
    PhotoQuery query;
    query.db_path = path;
    query.product_version = version;
    query.album_id = 1;
    query.sink = &sink;
    query.file_size = [](const std::string&) -> int64_t { return 7; };
    for (int64_t type = 0; type <= 8; ++type) {
      query.album_type = type;
      AlbumItemsIos6(query);
    }
    PhotoListIos6(query);
    AlbumListIos6(query);
  }
  PhotoQuery old;
  old.db_path = path;
  old.product_version = "5.1.1";
  old.sink = &sink;
  PhotoListIos4(old);
  AlbumListIos4(old);
  AlbumItemsIos4(old);
  return 0;
}
