#include "utility/module/media/media_books.h"

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "common/afc_file_ops.h"
#include "common/json_text.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/media/itunes_db_reader.h"
#include "utility/module/media/book_list_edit.h"

namespace media_books_detail {

constexpr const char* kBooksFolder = "/Books/";
constexpr const char* kPurchasesFolder = "/Books/Purchases/";
constexpr const char* kBooksListPath = "/Books/Books.plist";
constexpr const char* kPurchasesListPath = "/Books/Purchases/Purchases.plist";
constexpr const char* kRingtonesListPath = "/iTunes_Control/iTunes/Ringtones.plist";
constexpr const char* kRingtonesFolder = "/iTunes_Control/Ringtones/";
constexpr const char* kItunesCdbPath = "/iTunes_Control/iTunes/iTunesCDB";
constexpr size_t kListBatch = 100;

struct BookEntry {
  std::string path, title, artist, genre, purchase;
  int64_t size = 0;
};

struct RingtoneEntry {
  std::string path, title;
  int64_t size = 0;
  int64_t duration = 0;
};

// Copies a device file into the device's folder under `local_name`; the local path, or
// nothing when the device file cannot be read.
std::optional<std::string> CopyIntoDeviceFolder(AFCConnectionRef afc, const std::string& folder,
                                                const std::string& device_path,
                                                const std::string& local_name, DhTask& task) {
  const std::string local = folder + local_name;
  const std::u16string local16 = Utf8ToUtf16(local);
  if (!CopyFileFromDevice(afc, device_path, &local16, nullptr, &task)) return std::nullopt;
  return local;
}

// The top value of a local property-list file; empty when it cannot be read.
PlistValue ReadPlistTop(const std::optional<std::string>& path) {
  PlistValue top;
  if (!path || !PlistFileToValue(*path, &top) || top.array().empty()) return PlistValue();
  return top.array()[0];
}

const PlistValue* Member(const PlistValue& dict, std::string_view key) {
  return dict.dictionary() == nullptr ? nullptr : dict.dictionary()->Find(key);
}

std::string TextMember(const PlistValue& dict, std::string_view key) {
  const PlistValue* value = Member(dict, key);
  return value == nullptr ? std::string() : Utf16ToUtf8(value->text());
}

int64_t NumberMember(const PlistValue& dict, std::string_view key) {
  const PlistValue* value = Member(dict, key);
  if (value == nullptr) return 0;
  if (value->tag() == kPlistInt32) return value->int32();
  if (value->tag() == kPlistReal) return static_cast<int64_t>(value->real());
  return value->int64();
}

// A file name from a list that stays inside its folder.
bool IsListedFileName(const std::string& name) {
  return !name.empty() && name.find("..") == std::string::npos && name.front() != '/' &&
         name.find('\\') == std::string::npos;
}

// The size of a regular file (or an unzipped EPUB folder) the file service reports.
std::optional<int64_t> DeviceFileSize(AFCConnectionRef afc, const std::string& path) {
  AfcFileInfo info;
  if (!GetFileInfo(afc, path, &info)) return std::nullopt;
  return info.size;
}

void SendMediaList(VadoModule& module, const bas::IPCPacket1& packet, const std::string& uuid,
                   int32_t type, size_t count,
                   const std::function<void(size_t, std::string*)>& render) {
  ReplyRecord record;
  record.uuid = uuid;
  record.type = type;
  record.stage = 0;
  record.info = "{\"Count\":" + std::to_string(count) + "}";
  module.SendMessage(packet, record, kKindProgress);
  std::string batch;
  for (size_t first = 0; first < count; first += kListBatch) {
    batch = "[";
    for (size_t i = first; i < std::min(count, first + kListBatch); ++i) {
      if (i > first) batch += ',';
      render(i, &batch);
    }
    batch += ']';
    record.stage = 1;
    record.body = batch;
    module.SendMessage(packet, record, kKindProgress);
  }
}

// Books of one list file: "Books" array entries with "Path", "Name", "Artist", "Genre".
void AddListedBooks(AFCConnectionRef afc, const PlistValue& list, const std::string& folder,
                    const std::string& purchase, DhTask& task, std::vector<BookEntry>* books,
                    std::set<std::string>* paths) {
  const PlistValue* array = Member(list, "Books");
  if (array == nullptr) return;
  for (const PlistValue& item : array->array()) {
    if (IsCancelled(task)) return;
    const std::string name = TextMember(item, "Path");
    if (!IsListedFileName(name)) continue;
    BookEntry book;
    book.path = folder + name;
    const std::optional<int64_t> size = DeviceFileSize(afc, book.path);
    if (!size || paths->count(book.path) != 0) continue;
    book.size = *size;
    book.title = TextMember(item, "Name");
    book.artist = TextMember(item, "Artist");
    book.genre = TextMember(item, "Genre");
    book.purchase = purchase;
    paths->insert(book.path);
    books->push_back(std::move(book));
  }
}

std::string BookJson(const BookEntry& b) {
  return "{\"path\":" + JsonQuote(b.path) + ",\"title\":" + JsonQuote(b.title) +
         ",\"size\":" + std::to_string(b.size) + ",\"artist\":" + JsonQuote(b.artist) +
         ",\"purchase\":" + JsonQuote(b.purchase) + ",\"gene\":" + JsonQuote(b.genre) + "}";
}

std::string RingtoneJson(const RingtoneEntry& r) {
  return "{\"path\":" + JsonQuote(r.path) + ",\"title\":" + JsonQuote(r.title) +
         ",\"size\":" + std::to_string(r.size) + ",\"duration\":" + std::to_string(r.duration) +
         "}";
}

ServicePtr StartFileService(VadoDevice& device) {
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!service || service->afc() == nullptr) return nullptr;
  return service;
}

// Four random capital letters; the generator is seeded once per process from the clock.
std::string RandomBookStem() {
  static std::mutex mutex;
  static std::mt19937_64 generator(
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> lock(mutex);
  std::string stem;
  for (int i = 0; i < 4; ++i) stem += static_cast<char>('A' + generator() % 26);
  return stem;
}

// 16 upper-case hexadecimal digits from the first 8 bytes of a new random identifier.
std::string NewPersistentId() {
  std::random_device device;
  const uint64_t high = static_cast<uint64_t>(device()) << 32 | device();
  char text[17];
  std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(high));
  return text;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Writes `xml` to `local` and uploads it to `device_path`.
bool UploadList(AFCConnectionRef afc, const std::string& local, const std::string& xml,
                const std::string& device_path, DhTask& task) {
  {
    std::ofstream out(local, std::ios::binary | std::ios::trunc);
    out << xml;
    if (!out.good()) return false;
  }
  return CopyFileToDevice(afc, Utf8ToUtf16(local), device_path, &task);
}

// The book commands of one device run one at a time: they share the local copies in the
// device folder, and 1012 and 1013 each read, change and write back a list on the device,
// so two at once would lose one change. Devices do not wait for each other, and a waiting
// request still ends on cancel.
class DeviceBookLock {
 public:
  DeviceBookLock(const std::string& udid, DhTask& task) {
    static std::mutex registry_mutex;
    static std::map<std::string, std::weak_ptr<std::timed_mutex>> registry;
    {
      std::lock_guard<std::mutex> lock(registry_mutex);
      std::weak_ptr<std::timed_mutex>& slot = registry[udid];
      mutex_ = slot.lock();
      if (!mutex_) {
        mutex_ = std::make_shared<std::timed_mutex>();
        slot = mutex_;
      }
    }
    while (!IsCancelled(task)) {
      if (mutex_->try_lock_for(std::chrono::milliseconds(50))) {
        held_ = true;
        break;
      }
    }
  }
  ~DeviceBookLock() {
    if (held_) mutex_->unlock();
  }
  DeviceBookLock(const DeviceBookLock&) = delete;
  DeviceBookLock& operator=(const DeviceBookLock&) = delete;
  bool held() const { return held_; }

 private:
  std::shared_ptr<std::timed_mutex> mutex_;
  bool held_ = false;
};

}  // namespace media_books_detail

namespace mbd = media_books_detail;

int64_t HandleBooksAndRingtones(VadoModule& module, const bas::IPCPacket1& packet,
                                VadoDevice& device, DhTask& task) {
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  const std::optional<std::string> folder = DeviceWorkFolder(udid);
  if (!folder) return kRefusedDeviceIdentifier;
  const mbd::DeviceBookLock book_lock(udid, task);
  if (!book_lock.held()) return kResultCancelled;
  ServicePtr service = mbd::StartFileService(device);
  if (!service) return kNoFileService;
  AFCConnectionRef afc = service->afc();

  ItunesDbMediaLists itunes;
  if (const auto cdb =
          mbd::CopyIntoDeviceFolder(afc, *folder, mbd::kItunesCdbPath, "iTunesCDB", task)) {
    ItunesDbReader reader;
    if (reader.LoadFile(*cdb)) itunes = reader.ExtractMedia();
  }
  if (IsCancelled(task)) return kResultCancelled;

  std::vector<mbd::RingtoneEntry> ringtones;
  std::set<std::string> ringtone_paths;
  const PlistValue tones = mbd::ReadPlistTop(
      mbd::CopyIntoDeviceFolder(afc, *folder, mbd::kRingtonesListPath, "Ringtones.plist", task));
  if (const PlistValue* map = mbd::Member(tones, "Ringtones"); map != nullptr && map->dictionary()) {
    for (const auto& [name, entry] : map->dictionary()->items()) {
      if (IsCancelled(task)) return kResultCancelled;
      if (!mbd::IsListedFileName(name) || name.find('/') != std::string::npos) continue;
      mbd::RingtoneEntry tone;
      tone.path = mbd::kRingtonesFolder + name;
      if (!ringtone_paths.insert(tone.path).second) continue;
      tone.title = mbd::TextMember(entry, "Name");
      tone.duration = mbd::NumberMember(entry, "Total Time");
      tone.size = mbd::DeviceFileSize(afc, tone.path).value_or(0);
      ringtones.push_back(std::move(tone));
    }
  }
  for (const ItunesDbMediaTrack& track : itunes.ringtones) {
    if (IsCancelled(task)) return kResultCancelled;
    if (track.location.find("..") != std::string::npos || ringtone_paths.count(track.location))
      continue;
    const std::optional<int64_t> size = mbd::DeviceFileSize(afc, track.location);
    if (!size) continue;
    ringtone_paths.insert(track.location);
    ringtones.push_back({track.location, track.title, *size, track.length_ms});
  }

  std::vector<mbd::BookEntry> books;
  std::set<std::string> book_paths;
  const PlistValue listed = mbd::ReadPlistTop(
      mbd::CopyIntoDeviceFolder(afc, *folder, mbd::kBooksListPath, "Books.plist", task));
  mbd::AddListedBooks(afc, listed, mbd::kBooksFolder, "0", task, &books, &book_paths);
  const PlistValue bought = mbd::ReadPlistTop(
      mbd::CopyIntoDeviceFolder(afc, *folder, mbd::kPurchasesListPath, "Purchases.plist", task));
  mbd::AddListedBooks(afc, bought, mbd::kPurchasesFolder, "1", task, &books, &book_paths);
  for (const ItunesDbMediaTrack& track : itunes.books) {
    if (IsCancelled(task)) return kResultCancelled;
    if (track.location.find("..") != std::string::npos || book_paths.count(track.location))
      continue;
    const std::optional<int64_t> size = mbd::DeviceFileSize(afc, track.location);
    if (!size) continue;
    book_paths.insert(track.location);
    mbd::BookEntry book{track.location,
                        track.title,
                        track.artist,
                        track.genre,
                        track.location.rfind(mbd::kPurchasesFolder, 0) == 0 ? "1" : "0",
                        *size};
    books.push_back(std::move(book));
  }
  if (IsCancelled(task)) return kResultCancelled;

  mbd::SendMediaList(module, packet, udid, kBookListType, books.size(),
                     [&books](size_t i, std::string* out) { *out += mbd::BookJson(books[i]); });
  mbd::SendMediaList(
      module, packet, udid, kRingtoneListType, ringtones.size(),
      [&ringtones](size_t i, std::string* out) { *out += mbd::RingtoneJson(ringtones[i]); });
  return kResultOk;
}

int64_t HandleAddBook(const RequestHeader& request, VadoDevice& device, DhTask& task,
                      std::string* info) {
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body) || !body.IsObject() || !body.HasMember("path") ||
      !body["path"].IsString()) {
    return kResultBadBody;
  }
  const std::string path(body["path"].GetString(), body["path"].GetStringLength());
  const bool remote =
      body.HasMember("remote") && body["remote"].IsBool() && body["remote"].GetBool();
  // Local paths may use either separator; device paths use '/'.
  const size_t separator = remote ? path.rfind('/') : path.find_last_of("/\\");
  const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return kResultBadBody;
  const std::string stem = path.substr(name_start, dot - name_start);
  const std::string extension = path.substr(dot);
  const std::string upper = mbd::UpperAscii(extension);
  if (upper != ".EPUB" && upper != ".PDF") return kResultBadBody;
  if (remote && (path.find("..") != std::string::npos || path.empty() || path.front() != '/')) {
    return kResultBadBody;
  }
  const std::optional<std::string> folder = DeviceWorkFolder(Utf16ToUtf8(device.unique_device_id));
  if (!folder) return kRefusedDeviceIdentifier;
  const mbd::DeviceBookLock book_lock(Utf16ToUtf8(device.unique_device_id), task);
  if (!book_lock.held()) return kResultCancelled;
  std::string local = path;
  if (!remote) {
    std::error_code error;
    std::ifstream probe(path, std::ios::binary);
    if (!probe || !std::filesystem::is_regular_file(path, error)) return kResultBadBody;
  }
  ServicePtr service = mbd::StartFileService(device);
  if (!service) return kNoFileService;
  AFCConnectionRef afc = service->afc();
  if (remote) {
    // A book already on the device is brought into the device folder and added like a
    // local one.
    const std::optional<std::string> copy =
        mbd::CopyIntoDeviceFolder(afc, *folder, path, "added-book" + extension, task);
    if (IsCancelled(task)) return kResultCancelled;
    if (!copy) return kResultBadBody;
    local = *copy;
  }

  MakeDirectory(afc, "/Books");
  std::string name;
  for (int attempt = 0; attempt < 1000 && name.empty(); ++attempt) {
    const std::string candidate = mbd::RandomBookStem() + extension;
    AfcFileInfo existing;
    if (!GetFileInfo(afc, mbd::kBooksFolder + candidate, &existing)) name = candidate;
  }
  if (name.empty()) return kBookUploadFailed;
  const std::string device_path = mbd::kBooksFolder + name;
  if (!CopyFileToDevice(afc, Utf8ToUtf16(local), device_path, &task)) {
    RemovePath(afc, device_path);
    return IsCancelled(task) ? kResultCancelled : kBookUploadFailed;
  }

  // The list is changed only now that the book is on the device whole. A list that exists
  // but cannot be read is not replaced by a new one.
  AfcFileInfo list_info;
  const bool list_exists = GetFileInfo(afc, mbd::kBooksListPath, &list_info);
  std::optional<std::string> list = std::string();
  if (list_exists) {
    const std::optional<std::string> local =
        mbd::CopyIntoDeviceFolder(afc, *folder, mbd::kBooksListPath, "Books.plist", task);
    list = local ? ReadBookListFile(*local) : std::nullopt;
  }
  const std::optional<std::string> changed =
      list ? AddBookToList(*list, {name, stem, upper == ".PDF" ? "pdf" : "epub",
                                   mbd::NewPersistentId()})
           : std::nullopt;
  if (!changed) {
    LOG(ERROR) << "media: the device's book list cannot be read; the added book is removed";
    RemovePath(afc, device_path);
    return IsCancelled(task) ? kResultCancelled : kBookListUploadFailed;
  }
  if (!mbd::UploadList(afc, *folder + "Books.plist", *changed, mbd::kBooksListPath, task)) {
    RemovePath(afc, device_path);
    return IsCancelled(task) ? kResultCancelled : kBookListUploadFailed;
  }
  *info = "{\"path\":" + JsonQuote(device_path) + "}";
  return kResultOk;
}

int64_t HandleRemoveBook(const RequestHeader& request, VadoDevice& device, DhTask& task) {
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body) || !body.IsObject() || !body.HasMember("path") ||
      !body["path"].IsString()) {
    return kResultBadBody;
  }
  const std::string path(body["path"].GetString(), body["path"].GetStringLength());
  // Only a book under /Books/ that one of the two lists names is deleted.
  if (path.rfind(mbd::kBooksFolder, 0) != 0 || path.find("..") != std::string::npos) {
    return kResultBadBody;
  }
  const bool bought = path.rfind(mbd::kPurchasesFolder, 0) == 0;
  const std::string list_path = bought ? mbd::kPurchasesListPath : mbd::kBooksListPath;
  const std::string list_name = bought ? "Purchases.plist" : "Books.plist";
  const std::string entry_path = path.substr(bought ? std::string(mbd::kPurchasesFolder).size()
                                                    : std::string(mbd::kBooksFolder).size());
  if (!mbd::IsListedFileName(entry_path)) return kResultBadBody;
  const std::optional<std::string> folder = DeviceWorkFolder(Utf16ToUtf8(device.unique_device_id));
  if (!folder) return kRefusedDeviceIdentifier;
  const mbd::DeviceBookLock book_lock(Utf16ToUtf8(device.unique_device_id), task);
  if (!book_lock.held()) return kResultCancelled;
  ServicePtr service = mbd::StartFileService(device);
  if (!service) return kNoFileService;
  AFCConnectionRef afc = service->afc();
  const std::optional<std::string> local =
      mbd::CopyIntoDeviceFolder(afc, *folder, list_path, list_name, task);
  if (IsCancelled(task)) return kResultCancelled;
  const std::optional<std::string> list = local ? ReadBookListFile(*local) : std::nullopt;
  const std::optional<std::string> changed = list ? RemoveBookFromList(*list, entry_path)
                                                  : std::nullopt;
  if (!changed) return kResultBadBody;
  if (!mbd::UploadList(afc, *folder + list_name, *changed, list_path, task)) {
    return IsCancelled(task) ? kResultCancelled : kBookListUploadFailed;
  }
  AfcFileInfo info;
  if (GetFileInfo(afc, path, &info)) {
    if (info.type == "S_IFDIR") {
      RemoveTree(afc, path, true);
    } else {
      RemovePath(afc, path);
    }
  }
  return kResultOk;
}
