#include "utility/module/media/vado_module_media.h"

#include <glog/logging.h>
#include <malloc.h>

#include <vector>

#include "common/afc_file_ops.h"
#include "common/json_text.h"
#include "common/text_convert.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/media/media_books.h"
#include "utility/module/media/media_messages.h"
#include "utility/module/media/voice_memos.h"

namespace {

constexpr char kLibraryDevicePath[] = "/iTunes_Control/iTunes/MediaLibrary.sqlitedb";
constexpr char kItdbDeviceFolder[] = "/iTunes_Control/iTunes/iTunes Library.itlp/";
constexpr char kRecordingsDbDevicePath[] = "/Recordings/Recordings.db";
constexpr char kAssetManifestDevicePath[] = "/Recordings/AssetManifest.plist";

std::optional<std::string> MediaFailureInfo(int64_t code) {
  switch (code) {
    case kResultCancelled: return "{\"error\":\"Task cancelled.\"}";
    case kResultBadBody: return "{\"error\":\"BadRequest\"}";
    case kNoFileService: return "{\"error\":\"FileServiceUnavailable\"}";
    case VadoModuleMedia::kNoLibraryCopy: return "{\"error\":\"MediaLibraryUnavailable\"}";
    case kDbOpenFailed: return "{\"error\":\"MediaDatabaseUnavailable\"}";
    default: return std::nullopt;
  }
}

// The header's "info" object, or null.
const rapidjson::Value* MediaRequestInfo(const RequestHeader& header) {
  const rapidjson::Document& json = header.json;
  if (!json.IsObject() || !json.HasMember("info") || !json["info"].IsObject()) return nullptr;
  return &json["info"];
}

// Keeps the items whose path could name a file and that the device reports as a regular
// file; false when the task was cancelled on the way.
bool KeepExistingFiles(AFCConnectionRef afc, DhTask& task, std::vector<MediaItem>* items) {
  std::vector<MediaItem> kept;
  kept.reserve(items->size());
  for (size_t i = 0; i < items->size(); ++i) {
    if (i % 64 == 0 && IsCancelled(task)) return false;
    MediaItem& item = (*items)[i];
    if (!IsMediaFilePath(item.path)) continue;
    AfcFileInfo info;
    if (!GetFileInfo(afc, item.path, &info) || info.type != "S_IFREG") continue;
    kept.push_back(std::move(item));
  }
  items->swap(kept);
  return true;
}

ServicePtr MediaFileService(VadoDevice& device) {
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!service || service->afc() == nullptr) {
    LOG(ERROR) << "media: the file service could not be started, error " << error;
    return nullptr;
  }
  return service;
}

}  // namespace

int64_t VadoModuleMedia::HandleRequest(const bas::IPCPacket1& packet) {
  // A header object that is not JSON is refused without an answer.
  if (!ParseRequestHeader(packet).valid) {
    LOG(ERROR) << "media: request " << packet.command_id << " has no JSON header object";
    return kResultBadBody;
  }
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOnly);
  if (!begun) return 0;
  VadoDevice& device = *begun->device;
  DhTask& task = *begun->task;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  if (begun->header.section_count != 1) {
    begun->ForgetTask();
    Reply(packet, udid, kResultOk);
    return 0;
  }
  const std::optional<std::string> folder = DeviceWorkFolder(udid);
  if (!folder) {
    LOG(ERROR) << "media: refused a device identifier that is not a plain file name";
    begun->ForgetTask();
    Reply(packet, udid, kRefusedDeviceIdentifier, "{\"error\":\"RefusedDeviceIdentifier\"}");
    return 0;
  }
  int64_t code = kResultOk;
  std::string added;
  switch (packet.command_id) {
    case kListLibrary: code = ListLibrary(packet, device, task, *folder); break;
    case kListVoiceMemos: code = ListVoiceMemos(packet, device, task, *folder); break;
    case kListPlaylistItems: code = ListPlaylistItems(packet, begun->header, device, *folder); break;
    case kCheckItemPids: {
      const rapidjson::Value* info = MediaRequestInfo(begun->header);
      const bool listed = info && info->HasMember("item_pids") && (*info)["item_pids"].IsArray();
      code = listed ? kResultOk : kResultBadBody;
      break;
    }
    case kListBooksAndRingtones: code = HandleBooksAndRingtones(*this, packet, device, task); break;
    case kAddBook: code = HandleAddBook(begun->header, device, task, &added); break;
    case kRemoveBook: code = HandleRemoveBook(begun->header, device, task); break;
    default: break;
  }
  if (IsCancelled(task)) code = kResultCancelled;
  begun->ForgetTask();
  // A book that was added is answered with its device path.
  Reply(packet, udid, code, code == kResultOk && !added.empty() ? std::optional<std::string>(added)
                                                          : MediaFailureInfo(code));
  return 0;
}

std::mutex& VadoModuleMedia::CopyLock(const std::string& udid) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<std::mutex>& entry = copy_locks_[udid];
  if (!entry) entry = std::make_unique<std::mutex>();
  return *entry;
}

bool VadoModuleMedia::CopyLibrary(AFCConnectionRef afc, const std::string& udid,
                                  const std::string& folder, DhTask* task, HeldLibrary* held) {
  if (std::optional<std::string> library = CopyDeviceFileWithCompanions(
          afc, kLibraryDevicePath, folder, "MediaLibrary.sqlitedb", {"-shm", "-wal"}, task)) {
    *held = {*library, std::string(), MediaDbKind::kLibrary};
  } else {
    const std::string itdb = kItdbDeviceFolder;
    std::optional<std::string> older = CopyDeviceFileWithCompanions(
        afc, itdb + "Library.itdb", folder, "Library.itdb", {"-journal", "-shm", "-wal"}, task);
    if (!older) return false;
    std::optional<std::string> locations = CopyDeviceFileWithCompanions(
        afc, itdb + "Locations.itdb", folder, "Locations.itdb", {".cbk"}, task);
    *held = {*older, locations.value_or(folder + "Locations.itdb"), MediaDbKind::kItdb};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  held_[udid] = *held;
  return true;
}

int64_t VadoModuleMedia::ListLibrary(const bas::IPCPacket1& packet, VadoDevice& device,
                                     DhTask& task, const std::string& folder) {
  ServicePtr service = MediaFileService(device);
  if (!service) return kNoFileService;
  AFCConnectionRef afc = service->afc();
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  const auto cancelled = [&task] { return IsCancelled(task); };
  MediaLists lists;
  std::vector<MediaPlaylist> playlists;
  {
    std::lock_guard<std::mutex> copying(CopyLock(udid));
    HeldLibrary held;
    if (CopyLibrary(afc, udid, folder, &task, &held)) {
      const int64_t read = held.kind == MediaDbKind::kLibrary
                               ? ReadMediaLibraryItems(held.path, &lists, cancelled)
                               : ReadOlderLibraryItems(held.path, held.locations, &lists, cancelled);
      if (read != kResultOk) return read;
      ReadPlaylists(held.path, held.kind, &playlists);
    } else if (IsCancelled(task)) {
      return kResultCancelled;
    } else {
      LOG(INFO) << "media: the device has no media library; its lists are empty";
    }
  }
  for (std::vector<MediaItem>* list :
       {&lists.songs, &lists.movies, &lists.music_videos, &lists.tv_shows}) {
    if (!KeepExistingFiles(afc, task, list)) return kResultCancelled;
  }
  MediaListSender sender(*this, packet, udid);
  const struct {
    int32_t type;
    const std::vector<MediaItem>* items;
  } order[] = {{kMediaSongs, &lists.songs},
               {kMediaMovies, &lists.movies},
               {kMediaMusicVideos, &lists.music_videos},
               {kMediaTvShows, &lists.tv_shows}};
  for (const auto& list : order) {
    const std::vector<MediaItem>& items = *list.items;
    if (!sender.SendList(list.type, items.size(),
                         [&items](size_t i, std::string* out) { AppendMediaItemJson(items[i], out); },
                         cancelled)) {
      return kResultCancelled;
    }
  }
  if (!sender.SendList(kMediaPlaylists, playlists.size(),
                       [&playlists](size_t i, std::string* out) {
                         AppendPlaylistJson(playlists[i], out);
                       },
                       cancelled)) {
    return kResultCancelled;
  }
  for (const MediaPlaylist& playlist : playlists) {
    if (IsCancelled(task)) return kResultCancelled;
    sender.Send(0, kMediaPlaylistItems,
                "{\"Playlist\":" + std::to_string(playlist.pid) + ",\"Exist\":1,\"Count\":" +
                    std::to_string(playlist.item_pids.size()) + "}",
                {});
    sender.Send(1, kMediaPlaylistItems, "{\"Playlist\":" + std::to_string(playlist.pid) + "}",
                PlaylistItemsJson(playlist.pid, playlist.item_pids));
  }
  lists = MediaLists();
  ::malloc_trim(0);
  return kResultOk;
}

int64_t VadoModuleMedia::ListPlaylistItems(const bas::IPCPacket1& packet,
                                           const RequestHeader& header, VadoDevice& device,
                                           const std::string& folder) {
  const rapidjson::Value* info = MediaRequestInfo(header);
  if (!info || !info->HasMember("container_pid") || !(*info)["container_pid"].IsInt64()) {
    return kResultBadBody;
  }
  const int64_t playlist_pid = (*info)["container_pid"].GetInt64();
  const bool refresh = info->HasMember("refresh") && (*info)["refresh"].IsBool() &&
                       (*info)["refresh"].GetBool();
  ServicePtr service = MediaFileService(device);
  if (!service) return kNoFileService;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  std::lock_guard<std::mutex> copying(CopyLock(udid));
  HeldLibrary held;
  if (refresh) {
    if (!CopyLibrary(service->afc(), udid, folder, nullptr, &held)) {
      LOG(ERROR) << "ReloadMediaLibraryDb fail";
      LOG(ERROR) << "ReloadLibraryITDB fail";
      return kNoLibraryCopy;
    }
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(udid);
    held = it != held_.end() ? it->second
                             : HeldLibrary{folder + "MediaLibrary.sqlitedb", std::string(),
                                           MediaDbKind::kLibrary};
  }
  bool found = false;
  std::vector<int64_t> item_pids;
  const int64_t read = ReadPlaylistItems(held.path, held.kind, playlist_pid, &found, &item_pids);
  if (read != kResultOk) return read;
  MediaListSender sender(*this, packet, udid);
  const std::string pid_text = std::to_string(playlist_pid);
  if (!found) {
    sender.Send(0, kMediaPlaylistItems, "{\"Playlist\":" + pid_text + ",\"Count\":0}", {});
    return kResultOk;
  }
  const std::string count_info =
      "{\"Playlist\":" + pid_text + ",\"Count\":" + std::to_string(item_pids.size()) + "}";
  sender.Send(0, kMediaPlaylistItems, count_info, {});
  sender.Send(1, kMediaPlaylistItems, count_info, PlaylistItemsJson(playlist_pid, item_pids));
  return kResultOk;
}

int64_t VadoModuleMedia::ListVoiceMemos(const bas::IPCPacket1& packet, VadoDevice& device,
                                        DhTask& task, const std::string& folder) {
  ServicePtr service = MediaFileService(device);
  if (!service) return kNoFileService;
  AFCConnectionRef afc = service->afc();
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  std::vector<VoiceMemo> memos;
  {
    std::lock_guard<std::mutex> copying(CopyLock(udid));
    const std::string database =
        CopyDeviceFileWithCompanions(afc, kRecordingsDbDevicePath, folder, "Recordings.db",
                                     {"-shm", "-wal"}, &task)
            .value_or(std::string());
    const std::string manifest =
        CopyDeviceFileWithCompanions(afc, kAssetManifestDevicePath, folder,
                                     "AssetManifest.plist", {}, &task)
            .value_or(std::string());
    if (IsCancelled(task)) return kResultCancelled;
    if (!CollectVoiceMemos(afc, database, manifest, &task, &memos)) return kResultCancelled;
  }
  MediaListSender sender(*this, packet, udid);
  const std::string info = "{\"Count\":" + std::to_string(memos.size()) + "}";
  sender.Send(0, kMediaVoiceMemos, info, {});
  std::string array = "[";
  for (size_t i = 0; i < memos.size(); ++i) {
    if (i) array += ',';
    array += memos[i].json;
  }
  array += ']';
  sender.Send(1, kMediaVoiceMemos, info, array);
  return kResultOk;
}
