#include "utility/module/photo/vado_module_photo.h"

#include <glog/logging.h>
#include <malloc.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "common/afc_file_ops.h"
#include "common/json_text.h"
#include "common/text_convert.h"
#include "utility/module/compressing_sender.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/photo/photo_camera.h"
#include "utility/module/photo/photo_paths.h"
#include "utility/module/photo/photo_transfer.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kAlbumsPerMessage = 100;
constexpr char kDevicePhotoDb[] = "/PhotoData/Photos.sqlite";
constexpr char kCancelledInfo[] = "{\"error\":\"Task cancelled.\"}";
// The photo database and its companions are copied whatever their size, up to this.
constexpr int64_t kMaxPhotoDbBytes = int64_t{64} * 1024 * 1024 * 1024;

// Sends the module's listings as progress messages of type 0. Photo arrays are
// compressed as soon as they are handed over, also before the count, which goes first all
// the same; whatever is queued is sent when this goes away.
class PhotoMessages : public PhotoSink {
 public:
  PhotoMessages(VadoModule& module, const bas::IPCPacket1& request, std::string uuid)
      : sender_(module, request, kKindProgress), uuid_(std::move(uuid)) {}

  void SendPhotoCount(size_t count) override {
    count_info_ = "{\"Count\":" + std::to_string(count) + "}";
    Send(0, count_info_, {});
    counted_ = true;
    for (std::future<std::string>& body : held_) {
      sender_.SendCompressed(Record(1, count_info_), std::move(body));
    }
    held_.clear();
  }
  void SendPhotoArray(std::string_view array) override {
    std::future<std::string> body = CompressAhead(std::string(array));
    if (counted_) {
      sender_.SendCompressed(Record(1, count_info_), std::move(body));
      return;
    }
    held_.push_back(std::move(body));
    // Before the count nothing is sent, so the number of compressions running is bounded
    // here: the one started `kAhead` arrays before is waited for.
    if (held_.size() > CompressingSender::kAhead) {
      held_[held_.size() - 1 - CompressingSender::kAhead].wait();
    }
  }
  void SendAlbums(const std::vector<std::string>& objects) override {
    std::string batch;
    for (size_t first = 0; first < objects.size(); first += kAlbumsPerMessage) {
      const size_t end = std::min(objects.size(), first + kAlbumsPerMessage);
      batch.clear();
      batch += '[';
      for (size_t i = first; i < end; ++i) {
        if (i > first) batch += ',';
        batch += objects[i];
      }
      batch += ']';
      Send(1, std::nullopt, batch);
    }
  }

 private:
  ReplyRecord Record(int32_t stage, const std::optional<std::string>& info) const {
    ReplyRecord record;
    record.stage = stage;
    record.code = 0;
    record.uuid = uuid_;
    record.type = 0;
    record.info = info;
    return record;
  }
  void Send(int32_t stage, const std::optional<std::string>& info, std::string_view body) {
    ReplyRecord record = Record(stage, info);
    record.body = body;
    sender_.Send(record);
  }

  CompressingSender sender_;
  std::string uuid_;
  std::string count_info_;
  bool counted_ = false;
  std::vector<std::future<std::string>> held_;  // arrays handed over before the count
};

bool InfoBool(const rapidjson::Document& header, const char* name) {
  if (!header.HasMember("info") || !header["info"].IsObject()) return false;
  const rapidjson::Value& info = header["info"];
  return info.HasMember(name) && info[name].IsBool() && info[name].GetBool();
}

int64_t InfoInt(const rapidjson::Document& header, const char* name) {
  if (!header.HasMember("info") || !header["info"].IsObject()) return 0;
  const rapidjson::Value& info = header["info"];
  return info.HasMember(name) && info[name].IsInt64() ? info[name].GetInt64() : 0;
}

// Copies one device file to `target` through a temporary name, so a failed copy leaves
// any earlier copy whole.
bool CopyDeviceFile(AFCConnectionRef afc, const std::string& device_path, const std::string& target,
                    DhTask* task) {
  const std::string part = target + ".part";
  std::error_code error;
  if (!ReadPhotoFile(afc, device_path, part, nullptr, kMaxPhotoDbBytes, task)) {
    fs::remove(part, error);
    return false;
  }
  fs::rename(part, target, error);
  return !error;
}

}  // namespace

VadoModulePhoto::VadoModulePhoto(VadoClient& client) : VadoModule(client) {
  const PhotoImplementation old_photos[kOpCount] = {PhotoListIos4, AlbumListIos4, AlbumItemsIos4};
  const PhotoImplementation new_photos[kOpCount] = {PhotoListIos6, AlbumListIos6, AlbumItemsIos6};
  for (int op = 0; op < kOpCount; ++op) {
    for (int64_t major = 4; major <= 5; ++major) tables_[op][major] = old_photos[op];
    for (int64_t major = 6; major <= 14; ++major) tables_[op][major] = new_photos[op];
  }
}

PhotoImplementation VadoModulePhoto::Lookup(Operation op, int64_t part) const {
  auto it = tables_[op].find(part);
  if (it != tables_[op].end()) return it->second;
  // Releases after the last one the table names keep the iOS 6+ library.
  if (part > tables_[op].rbegin()->first) return tables_[op].rbegin()->second;
  return nullptr;
}

int64_t VadoModulePhoto::HandleRequest(const bas::IPCPacket1& packet) {
  if (!ParseRequestHeader(packet).valid) {
    // A header that is not JSON gets no answer at all.
    LOG(ERROR) << "photos: request " << packet.command_id << " without a JSON header";
    return kResultBadBody;
  }
  std::unique_ptr<DeviceRequest> begun = BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOnly);
  if (!begun) return 0;
  const std::string udid = Utf16ToUtf8(begun->device->unique_device_id);
  int64_t code = kResultOk;
  if (begun->header.section_count == 1) {
    switch (packet.command_id) {
      case kPhotoList: code = ListOperation(packet, *begun, kOpPhotos); break;
      case kAlbumList: code = ListOperation(packet, *begun, kOpAlbums); break;
      case kAlbumItems: code = ListOperation(packet, *begun, kOpItems); break;
      case kThumbnails: code = SendThumbnails(packet, *begun); break;
      case kDeletePhoto: code = DeletePhoto(*begun); break;
      default: break;
    }
  }
  begun->ForgetTask();
  Reply(packet, udid, code,
        code == kResultCancelled ? std::optional<std::string>(kCancelledInfo) : std::nullopt);
  return 0;
}

bool VadoModulePhoto::CopyPhotoDb(VadoDevice& device, AFCConnectionRef afc, DhTask* task) {
  const std::optional<std::string> folder = DeviceWorkFolder(Utf16ToUtf8(device.unique_device_id));
  if (!folder) {
    LOG(ERROR) << "photos: the device identifier cannot name a local folder";
    return false;
  }
  const std::string target = *folder + "Photos.sqlite";
  if (!CopyDeviceFile(afc, kDevicePhotoDb, target, task)) {
    LOG(ERROR) << "photos: cannot copy " << kDevicePhotoDb;
    return false;
  }
  device.photo_db_path = target;
  // Companions of an earlier copy must not be applied to this one: they go first, and
  // whichever the device has replace them.
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code error;
    fs::remove(target + suffix, error);
    CopyDeviceFile(afc, std::string(kDevicePhotoDb) + suffix, target + suffix, task);
  }
  return true;
}

int64_t VadoModulePhoto::ListOperation(const bas::IPCPacket1& packet, DeviceRequest& request,
                                       Operation op) {
  VadoDevice& device = *request.device;
  DhTask& task = *request.task;
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc || afc->afc() == nullptr) {
    LOG(ERROR) << "photos: the file service did not start: " << error;
    return kNoFileService;
  }
  const std::string version = Utf16ToUtf8(device.product_version);
  std::string db_path;
  {
    std::lock_guard<std::mutex> lock(device.photo_db_mutex);
    if (device.photo_db_path.empty() || InfoBool(request.header.json, "refresh")) {
      if (!CopyPhotoDb(device, afc->afc(), &task)) {
        return IsCancelled(task) ? kResultCancelled : kCopyFailed;
      }
    }
    db_path = device.photo_db_path;
  }
  PhotoMessages messages(*this, packet, Utf16ToUtf8(device.unique_device_id));
  PhotoQuery query;
  query.db_path = db_path;
  query.product_version = version;
  query.album_id = InfoInt(request.header.json, "album_id");
  query.album_type = InfoInt(request.header.json, "album_type");
  query.sink = &messages;
  AFCConnectionRef connection = afc->afc();
  query.file_size = [connection](const std::string& path) -> int64_t {
    const std::string device_path = MediaRootPath(path);
    AfcFileInfo info;
    if (device_path.empty() || !GetFileInfo(connection, device_path, &info)) return -1;
    return info.size;
  };
  query.cancelled = [&task] { return IsCancelled(task); };

  PhotoImplementation cached = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find({op, version});
    if (it != cache_.end()) cached = it->second;
  }
  int64_t result = kResultOk;
  if (cached != nullptr) {
    result = cached(query);
  } else {
    const std::vector<int64_t> parts = ProductVersionParts(version);
    // Firmware before 4 has no photo database the module knows.
    const bool known = !parts.empty() && parts[0] >= 4;
    for (size_t i = 0; known && i < parts.size(); ++i) {
      PhotoImplementation implementation = Lookup(op, parts[i]);
      if (implementation == nullptr) continue;
      result = implementation(query);
      if (result == kResultOk) {
        std::lock_guard<std::mutex> lock(mutex_);
        cache_[{op, version}] = implementation;
        break;
      }
      if (result == kResultCancelled) break;
    }
  }
  ::malloc_trim(0);
  // The implementations report their failures in the log; the request itself succeeded
  // unless it was cancelled.
  return result == kResultCancelled || IsCancelled(task) ? kResultCancelled : kResultOk;
}

int64_t VadoModulePhoto::SendThumbnails(const bas::IPCPacket1& packet, DeviceRequest& request) {
  rapidjson::Document body;
  if (!ParseRequestBody(request.header, &body) || !body.IsObject()) return kResultBadBody;
  VadoDevice& device = *request.device;
  DhTask& task = *request.task;
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc || afc->afc() == nullptr) return kNoFileService;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  std::string bytes;
  for (auto member = body.MemberBegin(); member != body.MemberEnd(); ++member) {
    if (IsCancelled(task)) return kResultCancelled;
    if (!member->value.IsString()) continue;
    const std::string id(member->name.GetString(), member->name.GetStringLength());
    const std::string path(member->value.GetString(), member->value.GetStringLength());
    const std::string device_path = MediaRootPath(path);
    if (device_path.empty()) {
      LOG(ERROR) << "photos: refused a thumbnail path outside the media root";
      continue;
    }
    AfcFileInfo item;
    const int64_t mtime = GetFileInfo(afc->afc(), device_path, &item) ? item.modification_time : 0;
    for (const std::string& candidate : ThumbnailCandidates(path, mtime)) {
      AfcFileInfo info;
      if (!GetFileInfo(afc->afc(), candidate, &info) || info.type != "S_IFREG") continue;
      if (info.size > kMaxThumbnailBytes) {
        LOG(ERROR) << "photos: skipped a thumbnail of " << info.size << " bytes";
        continue;
      }
      bytes.clear();
      // The bound holds while reading too: the file may have grown since its information.
      if (!ReadPhotoFile(afc->afc(), candidate, {}, &bytes, kMaxThumbnailBytes, &task)) {
        if (IsCancelled(task)) return kResultCancelled;
        continue;
      }
      ReplyRecord record;
      record.stage = 1;
      record.code = 0;
      record.uuid = udid;
      record.type = 1;
      record.info = ThumbnailInfo(id, candidate);
      record.body = bytes;
      SendMessage(packet, record, kKindProgress);
      break;
    }
  }
  return kResultOk;
}

int64_t VadoModulePhoto::DeletePhoto(DeviceRequest& request) {
  rapidjson::Document body;
  if (!ParseRequestBody(request.header, &body) || !body.IsObject()) return kResultBadBody;
  if (!body.HasMember("name") || !body["name"].IsString()) return kResultBadBody;
  const std::string name(body["name"].GetString(), body["name"].GetStringLength());
  VadoDevice& device = *request.device;
  DhTask& task = *request.task;
  const std::vector<std::string> serials = {Utf16ToUtf8(device.unique_device_id),
                                            Utf16ToUtf8(device.serial_number)};
  const CameraDeletion deletion =
      DeleteCameraFile(serials, name, [&task] { return IsCancelled(task); });
  if (IsCancelled(task)) return kResultCancelled;
  if (!deletion.deleted) return kNotFound;
  LOG(INFO) << "photos: deleted " << deletion.folder << "/" << deletion.file;
  return kResultOk;
}
