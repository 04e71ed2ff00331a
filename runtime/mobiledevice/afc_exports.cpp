// The AFC functions: connections, directories, key/value listings and file references.
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>

#include "afc_connection.h"
#include "handle_registry.h"
#include "md_api.h"

using namespace md::afc;

// A directory listing read at open; entries stay valid until the directory is closed.
struct __AFCDirectory {
  std::mutex mutex;  // guards next
  std::vector<std::string> entries;
  size_t next = 0;
};

// Alternating keys and values; the strings stay valid until the listing is closed.
struct __AFCDictionary {
  std::mutex mutex;  // guards next
  std::vector<std::string> items;
  size_t next = 0;
};

namespace {

md::HandleRegistry<__AFCConnection>& Connections() {
  static auto* r = new md::HandleRegistry<__AFCConnection>();
  return *r;
}
md::HandleRegistry<__AFCDirectory>& Directories() {
  static auto* r = new md::HandleRegistry<__AFCDirectory>();
  return *r;
}
md::HandleRegistry<__AFCDictionary>& Dictionaries() {
  static auto* r = new md::HandleRegistry<__AFCDictionary>();
  return *r;
}

bool IsSocket(int fd) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

int PathRequest(AFCConnectionRef connection, uint64_t operation, const char* path) {
  auto afc = Connections().Find(connection);
  if (!afc) return kInvalidArgument;
  std::vector<uint8_t> params;
  if (!AppendPath(path, &params)) return kInvalidArgument;
  return afc->Request(operation, params);
}

int HandleRequest(AFCConnectionRef connection, uint64_t operation, AFCFileRef file,
                  std::initializer_list<uint64_t> more) {
  auto afc = Connections().Find(connection);
  if (!afc || file == 0) return kInvalidArgument;
  std::vector<uint8_t> params;
  AppendU64(file, &params);
  for (uint64_t v : more) AppendU64(v, &params);
  return afc->Request(operation, params);
}

int OpenListing(AFCConnectionRef connection, uint64_t operation, const char* path,
                AFCDictionaryRef* info) {
  if (!info) return kInvalidArgument;
  *info = nullptr;
  auto afc = Connections().Find(connection);
  if (!afc) return kInvalidArgument;
  std::vector<uint8_t> params;
  if (path && !AppendPath(path, &params)) return kInvalidArgument;
  if (!path && operation == kOpGetFileInfo) return kInvalidArgument;
  auto listing = std::make_shared<__AFCDictionary>();
  const int rc = afc->RequestStrings(operation, params, &listing->items);
  if (rc != kOk) return rc;
  *info = Dictionaries().Add(std::move(listing));
  return kOk;
}

const char* StatusText(int status) {
  switch (status) {
    case kOk: return "Success";
    case kHeaderInvalid: return "Invalid reply header";
    case kInvalidArgument: return "Invalid argument";
    case kObjectNotFound: return "No such file or directory";
    case kTooMuchData: return "The reply was longer than allowed";
    case kNotSupported: return "Operation not supported";
    case kIoError: return "Input/output error";
    case kMuxError: return "Connection lost";
    case kNotEnoughData: return "The reply ended early";
    default: return "AFC error";
  }
}

}  // namespace

extern "C" {

int AFCConnectionOpen(AMDServiceHandle handle, unsigned int io_timeout,
                      AFCConnectionRef* connection) {
  if (!connection) return kInvalidArgument;
  *connection = nullptr;
  // The handle is the socket of a service connection; a socket the library did not start
  // is used as a plain connection and stays the caller's to close.
  md::ServiceRef service = md::FindServiceBySocket(handle);
  if (!service) {
    if (!IsSocket(handle)) return kInvalidArgument;
    service = std::make_shared<__AMDServiceConnection>(handle);
  }
  const unsigned timeout_ms = io_timeout <= 3600 ? io_timeout * 1000u : 3600u * 1000u;
  *connection = Connections().Add(std::make_shared<__AFCConnection>(service, timeout_ms));
  return kOk;
}

int AFCConnectionClose(AFCConnectionRef connection) {
  // The service connection underneath stays open until it is invalidated.
  return Connections().Take(connection) ? kOk : kInvalidArgument;
}

int AFCConnectionSetSecureContext(AFCConnectionRef connection, void* secure_context) {
  if (!Connections().Find(connection)) return kInvalidArgument;
  // TLS belongs to the service connection; a foreign context cannot be adopted.
  return secure_context ? kNotSupported : kOk;
}

CFStringRef AFCCopyErrorString(AFCConnectionRef connection) {
  auto afc = Connections().Find(connection);
  if (!afc) return nullptr;
  return CFStringCreateWithCString(nullptr, StatusText(afc->last_error()),
                                   kCFStringEncodingUTF8);
}

int AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory) {
  if (!directory) return kInvalidArgument;
  *directory = nullptr;
  auto afc = Connections().Find(connection);
  if (!afc) return kInvalidArgument;
  std::vector<uint8_t> params;
  if (!AppendPath(path, &params)) return kInvalidArgument;
  auto listing = std::make_shared<__AFCDirectory>();
  const int rc = afc->RequestStrings(kOpReadDirectory, params, &listing->entries);
  if (rc != kOk) return rc;
  *directory = Directories().Add(std::move(listing));
  return kOk;
}

int AFCDirectoryRead(AFCConnectionRef, AFCDirectoryRef directory, char** entry) {
  if (!entry) return kInvalidArgument;
  *entry = nullptr;
  auto dir = Directories().Find(directory);
  if (!dir) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(dir->mutex);
  if (dir->next < dir->entries.size()) *entry = dir->entries[dir->next++].data();
  return kOk;
}

int AFCDirectoryClose(AFCConnectionRef, AFCDirectoryRef directory) {
  return Directories().Take(directory) ? kOk : kInvalidArgument;
}

int AFCDirectoryCreate(AFCConnectionRef connection, const char* path) {
  return PathRequest(connection, kOpMakeDirectory, path);
}

int AFCRemovePath(AFCConnectionRef connection, const char* path) {
  return PathRequest(connection, kOpRemovePath, path);
}

int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to) {
  auto afc = Connections().Find(connection);
  if (!afc) return kInvalidArgument;
  std::vector<uint8_t> params;
  if (!AppendPath(from, &params) || !AppendPath(to, &params)) return kInvalidArgument;
  return afc->Request(kOpRenamePath, params);
}

int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info) {
  return OpenListing(connection, kOpGetFileInfo, path, info);
}

int AFCDeviceInfoOpen(AFCConnectionRef connection, AFCDictionaryRef* info) {
  return OpenListing(connection, kOpGetDeviceInfo, nullptr, info);
}

int AFCKeyValueRead(AFCDictionaryRef info, char** key, char** value) {
  if (key) *key = nullptr;
  if (value) *value = nullptr;
  if (!key || !value) return kInvalidArgument;
  auto dict = Dictionaries().Find(info);
  if (!dict) return kInvalidArgument;
  std::lock_guard<std::mutex> lock(dict->mutex);
  // A key without its value (odd count) ends the listing.
  if (dict->next + 1 < dict->items.size()) {
    *key = dict->items[dict->next].data();
    *value = dict->items[dict->next + 1].data();
    dict->next += 2;
  }
  return kOk;
}

int AFCKeyValueClose(AFCDictionaryRef info) {
  return Dictionaries().Take(info) ? kOk : kInvalidArgument;
}

int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                   AFCFileRef* file) {
  if (!file) return kInvalidArgument;
  *file = 0;
  // 1 r, 2 r+ (create), 3 w (truncate), 4 w+, 5 a, 6 a+.
  if (mode < 1 || mode > 6 || !path) return kInvalidArgument;
  auto afc = Connections().Find(connection);
  if (!afc) return kInvalidArgument;
  return afc->OpenFile(path, mode, file);
}

int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) {
  return HandleRequest(connection, kOpFileClose, file, {});
}

int AFCFileRefLock(AFCConnectionRef connection, AFCFileRef file, uint64_t operation) {
  // Shared (1) or exclusive (2) lock, never blocking: flock's operation plus LOCK_NB.
  if (operation != 1 && operation != 2) return kInvalidArgument;
  return HandleRequest(connection, kOpFileLock, file, {operation == 1 ? 5u : 6u});
}

int AFCFileRefUnlock(AFCConnectionRef connection, AFCFileRef file) {
  return HandleRequest(connection, kOpFileLock, file, {12u});
}

int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer, size_t* length) {
  if (!length) return kInvalidArgument;
  if (!buffer && *length) {
    *length = 0;
    return kInvalidArgument;
  }
  auto afc = Connections().Find(connection);
  if (!afc || file == 0) {
    *length = 0;
    return kInvalidArgument;
  }
  return afc->ReadFile(file, buffer, length);
}

int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef file, const void* buffer,
                    size_t length) {
  if (!buffer && length) return kInvalidArgument;
  auto afc = Connections().Find(connection);
  if (!afc || file == 0) return kInvalidArgument;
  return afc->WriteFile(file, buffer, length);
}

int AFCFlushData(AFCConnectionRef connection, AFCFileRef file) {
  // Writes are sent as they are made; nothing waits here.
  return Connections().Find(connection) && file != 0 ? kOk : kInvalidArgument;
}

int AFCFileRefTell(AFCConnectionRef connection, AFCFileRef file, uint64_t* position) {
  if (!position) return kInvalidArgument;
  *position = 0;
  auto afc = Connections().Find(connection);
  if (!afc || file == 0) return kInvalidArgument;
  return afc->Tell(file, position);
}

int AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, int64_t offset,
                   uint64_t whence) {
  if (whence > 2) return kInvalidArgument;
  return HandleRequest(connection, kOpFileSeek, file, {whence, static_cast<uint64_t>(offset)});
}

int AFCFileRefSetFileSize(AFCConnectionRef connection, AFCFileRef file, uint64_t size) {
  return HandleRequest(connection, kOpFileSetSize, file, {size});
}

}  // extern "C"
