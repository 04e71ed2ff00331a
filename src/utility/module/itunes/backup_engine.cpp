#include "utility/module/itunes/backup_engine.h"

#include <sys/statvfs.h>

#include <glog/logging.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include "common/json_text.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "common/process_state.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/app/vado_module_app.h"
#include "utility/module/itunes/backup_file_stream.h"
#include "utility/module/itunes/backup_info_plist.h"
#include "utility/module/itunes/backup_paths.h"
#include "utility/module/itunes/devicelink_message.h"
#include "utility/module/vado_module.h"

namespace {

namespace fs = std::filesystem;

CMobileExportFun& Fun() { return CMobileExportFun::GetInstance(); }

constexpr char kTaskError[] = "Task error.";
constexpr char kRestoreReadError[] = "Task error Unknown.";
constexpr char kRefusedPath[] = "RefusedDevicePath";

// One run's state, filled by the message readers.
struct ReaderContext {
  DeviceLinkMessage message;
  bool received = false;        // the last read produced a message
  double progress = 0;
  bool error = false;
  int32_t error_code = 0;
  std::string error_text;
  std::string first_download;   // first path of a download request
  std::vector<std::string> requested;  // restore: device paths asked for
  bool refused = false;         // a device path would have left the backup root
  // Backup paths.
  std::string root;
  std::string suffix;
  std::string udid;
};

std::string TextOf(const PlistValue& value) {
  return value.tag() == kPlistText ? Utf16ToUtf8(value.text()) : std::string();
}

void TakeProgress(ReaderContext& context) {
  double progress = 0;
  if (MessageProgress(context.message, &progress) && std::isfinite(progress)) {
    context.progress = progress;
  }
}

void TakeError(ReaderContext& context) {
  if (context.message.items.size() < 2 || context.message.items[1].tag() != kPlistDictionary) {
    return;
  }
  const CIOSDictionary* dict = context.message.items[1].dictionary();
  const PlistValue* code = dict->Find("ErrorCode");
  if (code == nullptr) return;
  if (code->tag() == kPlistInt64) context.error_code = static_cast<int32_t>(code->int64());
  else if (code->tag() == kPlistInt32) context.error_code = code->int32();
  else return;
  context.error = true;
  const PlistValue* text = dict->Find("ErrorDescription");
  context.error_text = text ? TextOf(*text) : std::string();
}

std::optional<std::string> MapPath(const ReaderContext& context, const std::string& device_path) {
  return MapBackupPath(device_path, context.udid, context.suffix, context.root);
}

// The file-system side of one backup message.
void ApplyBackupMessage(ReaderContext& context, AMDServiceConnectionRef connection) {
  const auto& items = context.message.items;
  switch (context.message.code) {
    case kDLDownloadFiles: {
      context.first_download.clear();
      if (items.size() > 1 && items[1].tag() == kPlistArray && !items[1].array().empty()) {
        context.first_download = TextOf(items[1].array()[0]);
      }
      SendMissingFile(connection, context.first_download);
      break;
    }
    case kDLCreateDirectory: {
      std::optional<std::string> local =
          items.size() > 1 ? MapPath(context, TextOf(items[1])) : std::nullopt;
      if (!local) {
        context.refused = true;
        break;
      }
      std::error_code ignored;
      fs::create_directories(*local, ignored);
      break;
    }
    case kDLMoveItems: {
      if (items.size() < 2 || items[1].tag() != kPlistDictionary) break;
      for (const auto& [from, to] : items[1].dictionary()->items()) {
        std::optional<std::string> source = MapPath(context, from);
        std::optional<std::string> target = MapPath(context, TextOf(to));
        if (!source || !target) {
          context.refused = true;
          return;
        }
        std::error_code ignored;
        if (!fs::exists(*target, ignored)) fs::rename(*source, *target, ignored);
      }
      break;
    }
    case kDLRemoveItems: {
      if (items.size() < 2 || items[1].tag() != kPlistArray) break;
      for (const PlistValue& item : items[1].array()) {
        std::optional<std::string> local = MapPath(context, TextOf(item));
        if (!local) {
          context.refused = true;
          return;
        }
        // The run's own folder is never removed through the device.
        if (*local == context.root + context.udid + context.suffix) continue;
        std::error_code ignored;
        if (fs::is_directory(*local, ignored)) fs::remove_all(*local, ignored);
        else fs::remove(*local, ignored);
      }
      break;
    }
    case kDLProcessMessage:
      TakeError(context);
      break;
    default:
      break;
  }
}

struct ReadRequest {
  ReaderContext* context;
  AMDServiceConnectionRef connection;
  bool backup;
};

void OnMessage(void* opaque, const char* bytes, uint32_t length, int* read_another,
               uint32_t* result) {
  *read_another = 0;
  *result = 0;
  auto* request = static_cast<ReadRequest*>(opaque);
  ReaderContext& context = *request->context;
  context.received = true;
  context.message = DeviceLinkMessage();
  if (!ParseDeviceLinkMessage(bytes, length, &context.message)) return;
  TakeProgress(context);
  if (request->backup) {
    ApplyBackupMessage(context, request->connection);
    return;
  }
  if (context.message.code == kDLDownloadFiles) {
    context.requested.clear();
    const auto& items = context.message.items;
    if (items.size() > 1 && items[1].tag() == kPlistArray) {
      for (const PlistValue& item : items[1].array()) context.requested.push_back(TextOf(item));
    }
  } else if (context.message.code == kDLProcessMessage) {
    TakeError(context);
  }
}

// Reads one message with the backup or restore reader; false when none could be read.
bool ReadMessage(AMDServiceConnectionRef connection, ReaderContext& context, bool backup) {
  ReadRequest request{&context, connection, backup};
  context.received = false;
  ReceivePlistMessages(connection, OnMessage, &request);
  return context.received;
}

// The raw first message of the service: read and not interpreted.
bool SkipFirstMessage(AMDServiceConnectionRef connection) {
  uint8_t header[4];
  if (!ReceiveServiceBytes(connection, header, sizeof header)) return false;
  uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                    (uint32_t{header[2]} << 8) | header[3];
  if (length > kMaxPlistMessageBytes) return false;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[length > 0 ? length : 1]);
  return ReceiveServiceBytes(connection, bytes.get(), length);
}

// Version answer and hello; true when the device said it is ready.
bool Handshake(AMDServiceConnectionRef connection, ReaderContext& context) {
  if (!SkipFirstMessage(connection)) return false;
  if (!SendXmlMessage(connection, VersionAnswer())) return false;
  if (!ReadMessage(connection, context, false) || context.message.items.empty() ||
      TextOf(context.message.items[0]) != "DLMessageDeviceReady") {
    return false;
  }
  if (!SendXmlMessage(connection, HelloRequest())) return false;
  ReadMessage(connection, context, false);
  context.progress = 0;
  context.error = false;
  return true;
}

ServicePtr StartBackupService(VadoDevice& device) {
  CMobileExportFun& fun = Fun();
  CFMutableDictionaryRef options = fun.CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
  if (options == nullptr) return nullptr;
  fun.CFDictionaryAddValue(options, fun.__CFStringMakeConstantString("UnlockEscrowBag"),
                           *fun.kCFBooleanTrue);
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kBackupServiceName, options, false);
  fun.CFRelease(options);
  return service;
}

// The application dictionaries of the installation proxy's page replies.
std::vector<CFDictionaryRef> ApplicationsOf(const std::vector<CFRef<CFDictionaryRef>>& pages) {
  CMobileExportFun& fun = Fun();
  std::vector<CFDictionaryRef> apps;
  for (const auto& page : pages) {
    CFTypeRef list = fun.CFDictionaryGetValue(page.get(), fun.__CFStringMakeConstantString("CurrentList"));
    if (list == nullptr || fun.CFGetTypeID(list) != kCFTypeIdArray) continue;
    auto array = static_cast<CFArrayRef>(list);
    for (CFIndex i = 0, n = fun.CFArrayGetCount(array); i < n; ++i) {
      CFTypeRef app = fun.CFArrayGetValueAtIndex(array, i);
      if (app != nullptr && fun.CFGetTypeID(app) == kCFTypeIdDictionary) {
        apps.push_back(static_cast<CFDictionaryRef>(app));
      }
    }
  }
  return apps;
}

void ReportRunProgress(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                       const ReaderContext& context, int64_t* last) {
  const int64_t value = static_cast<int64_t>(std::trunc(context.progress * 100));
  if (value > *last) {
    *last = value;
    module.ReportProgress(request, &device, static_cast<double>(value), 1);
  }
}

struct BackupPlan {
  std::string root;                  // with a trailing '/'
  std::vector<std::string> wanted;   // empty: keep every file
  DhTask* task = nullptr;            // checked for cancellation when set
};

int64_t FreeBytes(const std::string& root) {
  struct statvfs info {};
  if (::statvfs(root.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

bool IsCancelledUnderLock(VadoDevice& device, DhTask& task) {
  std::lock_guard<std::mutex> lock(device.tasks.mutex);
  return IsCancelled(task);
}

BackupOutcome Backup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                     const BackupPlan& plan) {
  ReaderContext context;
  context.root = plan.root;
  context.udid = Utf16ToUtf8(device.unique_device_id);
  context.suffix = BackupTimeSuffix(std::time(nullptr));
  std::string folder = context.root + context.udid + context.suffix + "/";
  std::error_code ignored;
  if (!fs::is_directory(context.root, ignored)) fs::create_directories(context.root, ignored);
  fs::create_directories(folder, ignored);
  module.SendData(request, "{\"BackupDir\":" + JsonQuote(folder) + "}", 0);

  {
    int32_t error = 0;
    ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
    std::vector<CFRef<CFDictionaryRef>> pages;
    BrowseApplications(device, &pages);
    WriteInfoPlist(device, afc ? afc->afc() : nullptr, ApplicationsOf(pages),
                   [&](const std::string& id, std::string* png) {
                     return FetchIcon(device, id, png);
                   },
                   folder + "Info.plist");
  }
  ServicePtr service = StartBackupService(device);
  if (!service) return {kBackupNoService, "DeviceOpenAFCServiceFail"};
  AMDServiceConnectionRef connection = service->connection();

  BackupOutcome outcome{kBackupTaskError, kTaskError};
  bool remove_folder = false;
  if (Handshake(connection, context) &&
      SendXmlMessage(connection, BackupRequest(context.udid))) {
    int64_t last_reported = -1;
    ReceiveHooks hooks;
    hooks.map_path = [&](const std::string& path) { return MapPath(context, path); };
    if (!plan.wanted.empty()) {
      hooks.keep = [&](const std::string& local) {
        for (const std::string& text : plan.wanted) {
          if (local.find(text) != std::string::npos) return true;
        }
        return false;
      };
    }
    hooks.check = [&]() -> int64_t {
      return device.state == kDeviceGone ? int64_t{kBackupDisconnected} : int64_t{0};
    };
    for (;;) {
      if (plan.task != nullptr && IsCancelledUnderLock(device, *plan.task)) {
        outcome = {kBackupCancelled, "Task cancelled."};
        break;
      }
      if (!ReadMessage(connection, context, true)) {
        outcome = {kBackupTaskError, kTaskError};
        break;
      }
      ReportRunProgress(module, request, device, context, &last_reported);
      if (context.refused) {
        outcome = {kBackupTaskError, kRefusedPath};
        remove_folder = true;
        break;
      }
      bool sent = true;
      bool done = false;
      switch (context.message.code) {
        case kDLDownloadFiles:
          sent = SendXmlMessage(connection, MissingFileResponse(context.first_download));
          break;
        case kDLContentsOfDirectory:
        case kDLMoveItems:
        case kDLRemoveItems:
          sent = SendXmlMessage(connection, EmptyStatusResponse());
          break;
        case kDLGetFreeDiskSpace: {
          const int64_t free_bytes = FreeBytes(context.root);
          if (free_bytes >= 0) sent = SendXmlMessage(connection, FreeSpaceResponse(free_bytes));
          break;
        }
        case kDLCreateDirectory:
          sent = SendXmlMessage(connection, TwoEmptyParametersResponse());
          break;
        case kDLDisconnect:
          done = true;
          if (context.progress == 100) {
            outcome = {kBackupOk, ""};
          } else {
            outcome = {kBackupDisconnected, ""};
            remove_folder = true;
          }
          break;
        case kDLProcessMessage:
          if (context.error && context.progress < 100) {
            LOG(INFO) << "error: " << context.error_code << " description: " << context.error_text;
            outcome = {context.error_code, context.error_text};
            remove_folder = context.error_code != 0;
            done = true;
          } else {
            sent = SendXmlMessage(connection, EmptyStatusResponse());
          }
          break;
        case kDLUploadFiles: {
          ReceiveResult received = ReceiveFiles(connection, hooks);
          if (received.code != 0) {
            outcome = {received.code, received.message};
            remove_folder = true;
            done = true;
          } else {
            sent = SendXmlMessage(connection, EmptyStatusResponse());
          }
          break;
        }
        default:
          break;
      }
      if (done) break;
      if (!sent) {
        outcome = {kBackupTaskError, kTaskError};
        break;
      }
    }
  }
  if (remove_folder && context.progress < 100) {
    service->Close();
    RemoveFolder(folder);
  }
  return outcome;
}

}  // namespace

BackupOutcome RunBackup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                        const rapidjson::Value& body) {
  BackupPlan plan;
  if (body.IsObject() && body.HasMember("path") && body["path"].IsString()) {
    plan.root = body["path"].GetString();
  }
  plan.root = plan.root.empty() ? DefaultBackupRoot() : WithTrailingSeparator(plan.root);
  return Backup(module, request, device, plan);
}

BackupOutcome BackupToWorkFolder(VadoModule& module, const bas::IPCPacket1& request,
                                 VadoDevice& device, DhTask& task,
                                 const std::vector<std::string>& wanted) {
  BackupPlan plan;
  plan.root = WithTrailingSeparator(WorkFolder(true)) + "Backup0/";
  plan.wanted = wanted;
  plan.task = &task;
  return Backup(module, request, device, plan);
}

BackupOutcome RunRestore(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                         const rapidjson::Value& body) {
  if (!body.IsObject() || !body.HasMember("path") || !body["path"].IsString() ||
      !body.HasMember("sourceDeviceId") || !body["sourceDeviceId"].IsString()) {
    return {kBackupParameterError, "ParameterError"};
  }
  const std::string folder = WithTrailingSeparator(body["path"].GetString());
  const std::string source = body["sourceDeviceId"].GetString();
  std::string password;
  if (body.HasMember("password") && body["password"].IsString()) {
    password = body["password"].GetString();
  }
  PlistValue manifest;
  const CIOSDictionary* top = nullptr;
  if (PlistFileToValue(folder + "Manifest.plist", &manifest) && manifest.tag() == kPlistArray &&
      !manifest.array().empty() && manifest.array()[0].tag() == kPlistDictionary) {
    top = manifest.array()[0].dictionary();
  }
  if (top == nullptr) return {kBackupManifestError, "BackupManifestPlistError"};
  const PlistValue* encrypted_value = top->Find("IsEncrypted");
  const bool encrypted = encrypted_value != nullptr && encrypted_value->tag() == kPlistBoolean &&
                         encrypted_value->boolean() != 0;

  const std::string target = Utf16ToUtf8(device.unique_device_id);
  ServicePtr service = StartBackupService(device);
  if (!service) return {kBackupNoService, "MonitorDeviceOpenAFCServiceFail"};
  AMDServiceConnectionRef connection = service->connection();
  ReaderContext context;
  if (!Handshake(connection, context) ||
      !SendXmlMessage(connection, RestoreRequest(source, target, encrypted, password))) {
    return {kBackupTaskError, kRestoreReadError};
  }
  int64_t last_reported = -1;
  for (;;) {
    if (!ReadMessage(connection, context, false)) return {kBackupTaskError, kRestoreReadError};
    ReportRunProgress(module, request, device, context, &last_reported);
    switch (context.message.code) {
      case kDLDownloadFiles: {
        for (const std::string& path : context.requested) {
          std::optional<std::string> local = MapRestorePath(path, source, folder);
          if (!local) continue;
          if (SendFile(connection, path, *local) < 0) break;
        }
        context.requested.clear();
        if (!SendEndOfList(connection) || !SendXmlMessage(connection, EmptyStatusResponse())) {
          return {kBackupTaskError, kRestoreReadError};
        }
        break;
      }
      case kDLDisconnect:
        return {kBackupDisconnected, ""};
      case kDLProcessMessage:
        if (context.error) {
          LOG(INFO) << "error: " << context.error_code << " description: " << context.error_text;
          return {context.error_code, context.error_text};
        }
        if (!SendEndOfList(connection) || !SendXmlMessage(connection, EmptyStatusResponse())) {
          return {kBackupTaskError, kRestoreReadError};
        }
        break;
      default:
        break;
    }
  }
}
