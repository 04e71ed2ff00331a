// Commands 1000 to 1013: the device's music, videos and playlists (from its media library,
// or the older library before firmware 5), books and ringtones, and voice memos. Every
// source file is first copied from the device into the device's folder under the work
// folder and read there; the lists go to the front end as typed progress messages.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "utility/module/media/media_library.h"
#include "utility/module/vado_module.h"

class VadoModuleMedia : public VadoModule {
 public:
  enum Command : uint32_t {
    kListLibrary = 1000,
    kListBooksAndRingtones = 1001,
    kListVoiceMemos = 1002,
    kListPlaylistItems = 1010,
    kCheckItemPids = 1011,
    kAddBook = 1012,
    kRemoveBook = 1013,
  };
  // Results of the module besides the shared ones (the book commands' are in media_books.h).
  enum Result : int64_t {
    kNoLibraryCopy = 18,  // 1010 with "refresh": neither library could be copied
  };

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  // The library copy a device's last 1000 (or 1010 with "refresh") read.
  struct HeldLibrary {
    std::string path;
    std::string locations;  // the older library's Locations copy
    MediaDbKind kind = MediaDbKind::kLibrary;
  };

  int64_t ListLibrary(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                      const std::string& folder);
  int64_t ListPlaylistItems(const bas::IPCPacket1& packet, const RequestHeader& header,
                            VadoDevice& device, const std::string& folder);
  int64_t ListVoiceMemos(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                         const std::string& folder);

  // Copies the media library, else the older pair, into `folder`; false when neither
  // could be copied. Called with the device's copy lock held.
  bool CopyLibrary(AFCConnectionRef afc, const std::string& udid, const std::string& folder,
                   DhTask* task, HeldLibrary* held);
  // The lock that keeps two requests for one device from copying over each other's
  // local files; never shared between devices.
  std::mutex& CopyLock(const std::string& udid);

  std::map<std::string, std::unique_ptr<std::mutex>> copy_locks_;  // under mutex_
  std::map<std::string, HeldLibrary> held_;                          // under mutex_
};
