// Commands 400-404: the device's photo library. The module copies the device's photo
// database over the file service, reads it in the schema of the device's firmware and
// streams photos and albums; it sends thumbnails of given items and deletes a photo
// through the device's camera interface.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "utility/ios/vado_device_service.h"
#include "utility/module/photo/photo_library.h"
#include "utility/module/vado_module.h"

class VadoModulePhoto : public VadoModule {
 public:
  enum Command : uint32_t {
    kPhotoList = 400,
    kAlbumList = 401,
    kAlbumItems = 402,
    kThumbnails = 403,
    kDeletePhoto = 404,
  };
  // Reply codes of their own.
  static constexpr int64_t kNotFound = 1;
  static constexpr int64_t kNoFileService = 12;
  static constexpr int64_t kCopyFailed = 18;
  // Thumbnails larger than this are skipped rather than read whole.
  static constexpr int64_t kMaxThumbnailBytes = 32 * 1024 * 1024;

  explicit VadoModulePhoto(VadoClient& client);
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  enum Operation { kOpPhotos = 0, kOpAlbums = 1, kOpItems = 2, kOpCount = 3 };

  int64_t ListOperation(const bas::IPCPacket1& packet, DeviceRequest& request, Operation op);
  int64_t SendThumbnails(const bas::IPCPacket1& packet, DeviceRequest& request);
  int64_t DeletePhoto(DeviceRequest& request);
  // Copies the device's Photos.sqlite (and its companions) into the device's folder.
  bool CopyPhotoDb(VadoDevice& device, AFCConnectionRef afc, DhTask* task);
  // The implementation of `op` for a major-version part; null when there is none.
  PhotoImplementation Lookup(Operation op, int64_t part) const;

  // Version tables: major version to implementation, one per operation.
  std::map<int64_t, PhotoImplementation> tables_[kOpCount];
  // Implementations found to work, by operation and product-version text.
  std::map<std::pair<int, std::string>, PhotoImplementation> cache_;
};
