#include "utility/module/itunes/backup_engine.h"

#include <sys/statvfs.h>

#include <glog/logging.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>

#include "common/json_text.h"
#include "common/process_state.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/app_services.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/itunes/backup_conversation.h"
#include "utility/module/itunes/backup_device_lock.h"
#include "utility/module/itunes/backup_file_stream.h"
#include "utility/module/itunes/backup_info_plist.h"
#include "utility/module/itunes/backup_paths.h"
#include "utility/module/itunes/backup_run_watch.h"
#include "utility/module/itunes/devicelink_message.h"
#include "utility/module/vado_module.h"

namespace {

namespace fs = std::filesystem;

constexpr char kTaskError[] = "Task error.";
constexpr char kRefusedPath[] = "RefusedDevicePath";

std::optional<std::string> MapPath(const ReaderContext& context, const std::string& device_path) {
  return MapBackupPath(device_path, context.udid, context.suffix, context.root);
}

void Failed(ReaderContext& context, const std::error_code& error) {
  context.reply_code = DeviceLinkFileError(error.value());
  context.reply_text = error.message();
}

// "DLMessageCopyItem": a file, or the files directly inside a folder (as other hosts do).
void CopyItem(ReaderContext& context) {
  const auto& items = context.message.items;
  std::optional<std::string> source =
      items.size() > 1 ? MapPath(context, TextOf(items[1])) : std::nullopt;
  std::optional<std::string> target =
      items.size() > 2 ? MapPath(context, TextOf(items[2])) : std::nullopt;
  if (!source || !target) {
    context.refused = true;
    return;
  }
  std::error_code error;
  const fs::file_status status = fs::symlink_status(*source, error);
  if (fs::is_regular_file(status)) {
    fs::copy_file(*source, *target, fs::copy_options::overwrite_existing, error);
  } else if (fs::is_directory(status)) {
    fs::create_directories(*target, error);
    for (fs::directory_iterator it(*source, error), end; !error && it != end; it.increment(error)) {
      if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
      fs::copy_file(it->path(), fs::path(*target) / it->path().filename(),
                    fs::copy_options::overwrite_existing, error);
    }
  } else if (!error) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (error) Failed(context, error);
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
    case kDLMoveItems:
    case kDLMoveFiles: {
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
    case kDLRemoveItems:
    case kDLRemoveFiles: {
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
    case kDLCopyItem:
      CopyItem(context);
      break;
    default:
      break;
  }
}

// The application dictionaries of the installation proxy's page replies.
std::vector<CFDictionaryRef> ApplicationsOf(const std::vector<CFRef<CFDictionaryRef>>& pages) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
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

struct BackupPlan {
  std::string root;                  // with a trailing '/'
  std::vector<std::string> wanted;   // empty: keep every file
  DhTask* task = nullptr;            // checked for cancellation when set
};

// Free bytes for the caller under `root`; -1 with errno set when they cannot be read.
int64_t FreeBytes(const std::string& root) {
  struct statvfs info {};
  if (::statvfs(root.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

BackupOutcome Cancelled() { return {kBackupCancelled, "Task cancelled."}; }

// Creates this run's folder, root + identifier + time suffix, as a new directory. A folder
// of that name that exists already belongs to another run (or another program), so the
// name of the next second is tried instead. 0, kBackupCancelled, or kBackupTaskError when
// no folder could be made.
int64_t CreateRunFolder(const std::string& root, const std::string& udid, RunWatch& watch,
                        std::string* suffix, std::string* folder) {
  constexpr int kAttempts = 3;
  std::error_code error;
  if (!fs::is_directory(root, error)) fs::create_directories(root, error);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::time_t now = std::time(nullptr);
    *suffix = BackupTimeSuffix(now);
    *folder = root + udid + *suffix + "/";
    error.clear();
    if (fs::create_directory(*folder, error)) return 0;
    if (error) {
      LOG(ERROR) << "cannot create the backup folder " << *folder << ": " << error.message();
      return kBackupTaskError;
    }
    while (std::time(nullptr) == now) {
      if (watch.cancelled()) return kBackupCancelled;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  LOG(ERROR) << "no free backup folder name under " << root;
  return kBackupTaskError;
}

// Writes Info.plist; once the run is cancelled no further icons are fetched.
void WriteInfo(VadoDevice& device, RunWatch& watch, const std::string& folder) {
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  std::vector<CFRef<CFDictionaryRef>> pages;
  BrowseApplications(device, &pages);
  WriteInfoPlist(device, afc ? afc->afc() : nullptr, ApplicationsOf(pages),
                 [&](const std::string& id, std::string* png) {
                   return !watch.cancelled() && FetchIcon(device, id, png);
                 },
                 folder + "Info.plist");
}

// The status response a request gets; empty for requests that get none.
std::string ResponseTo(ReaderContext& context) {
  switch (context.message.code) {
    case kDLDownloadFiles:
      return MissingFileResponse(context.first_download);
    case kDLCreateDirectory:
      return TwoEmptyParametersResponse();
    case kDLContentsOfDirectory:
    case kDLMoveItems:
    case kDLMoveFiles:
    case kDLRemoveItems:
    case kDLRemoveFiles:
    case kDLCopyItem:
      return context.reply_code != 0 ? ErrorStatusResponse(context.reply_code, context.reply_text)
                                     : EmptyStatusResponse();
    case kDLGetFreeDiskSpace: {
      const int64_t free_bytes = FreeBytes(context.root);
      if (free_bytes >= 0) return FreeSpaceResponse(free_bytes);
      const int error = errno;
      LOG(ERROR) << "cannot read the free space of " << context.root << ": " << error;
      return ErrorStatusResponse(DeviceLinkFileError(error), std::strerror(error));
    }
    case kDLPurgeDiskSpace:
      // Nothing on the computer can be given up for the device's backup.
      return ErrorStatusResponse(-1, "Operation not supported");
    default:
      return "";
  }
}

BackupOutcome Backup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                     const BackupPlan& plan) {
  ReaderContext context;
  context.root = plan.root;
  context.udid = Utf16ToUtf8(device.unique_device_id);
  if (!IsPlainDeviceIdentifier(context.udid)) {
    LOG(ERROR) << "refused to back up a device whose identifier cannot name a folder";
    return {kBackupTaskError, "RefusedDeviceIdentifier"};
  }
  RunWatch watch(device, plan.task, BackupStallLimit());
  DeviceRunLock run_lock(context.udid, [&] { return watch.cancelled(); });
  if (!run_lock.held()) return Cancelled();
  std::string folder;
  if (int64_t made = CreateRunFolder(context.root, context.udid, watch, &context.suffix, &folder);
      made != 0) {
    return made == kBackupCancelled ? Cancelled() : BackupOutcome{kBackupTaskError, kTaskError};
  }
  module.SendData(request, "{\"BackupDir\":" + JsonQuote(folder) + "}", 0);

  WriteInfo(device, watch, folder);
  if (watch.cancelled()) {
    RemoveFolder(folder);
    return Cancelled();
  }
  ServicePtr service = StartBackupService(device);
  if (!service) {
    RemoveFolder(folder);  // holds nothing of the device's yet
    return {kBackupNoService, "DeviceOpenAFCServiceFail"};
  }
  AMDServiceConnectionRef connection = service->connection();
  watch.Watch(connection);

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
      if (device.state == kDeviceGone) return kBackupDisconnected;
      return watch.cancelled() ? int64_t{kBackupCancelled} : int64_t{0};
    };
    hooks.moved = [&] { watch.Touch(); };
    for (;;) {
      if (watch.cancelled()) {
        outcome = Cancelled();
        break;
      }
      if (!ReadMessage(connection, context, ApplyBackupMessage)) {
        outcome = {kBackupTaskError, kTaskError};
        break;
      }
      watch.Touch();
      ReportRunProgress(module, request, device, context, &last_reported);
      if (context.refused) {
        outcome = {kBackupTaskError, kRefusedPath};
        remove_folder = true;
        break;
      }
      bool done = false;
      switch (context.message.code) {
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
          } else if (!SendXmlMessage(connection, EmptyStatusResponse())) {
            done = true;
          }
          break;
        case kDLUploadFiles: {
          ReceiveResult received = ReceiveFiles(connection, hooks);
          if (received.code != 0) {
            outcome = {received.code, received.message};
            remove_folder = true;
            done = true;
          } else if (!SendXmlMessage(connection, EmptyStatusResponse())) {
            done = true;
          }
          break;
        }
        default: {
          const std::string response = ResponseTo(context);
          if (response.empty()) {
            if (context.message.code == kDLOther && !context.message.items.empty()) {
              LOG(WARNING) << "backup: no answer to " << TextOf(context.message.items[0]);
            }
          } else if (!SendXmlMessage(connection, response)) {
            done = true;
          }
          break;
        }
      }
      if (done) break;
    }
  }
  watch.Release();
  // An interrupted read or send is the watch's doing when the task was cancelled or the
  // device stalled; neither leaves a partial backup behind.
  if (outcome.code != kBackupOk) {
    if (outcome.code == kBackupCancelled || watch.cancelled()) {
      outcome = Cancelled();
      remove_folder = true;
    } else if (watch.stalled()) {
      outcome = {kBackupTaskError, "DeviceStalled"};
      remove_folder = true;
    }
  }
  if (remove_folder && (context.progress < 100 || outcome.code == kBackupCancelled ||
                        watch.stalled())) {
    service->Close();
    RemoveFolder(folder);
  }
  return outcome;
}

}  // namespace

BackupOutcome RunBackup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                        DhTask* task, const rapidjson::Value& body) {
  BackupPlan plan;
  if (body.IsObject() && body.HasMember("path") && body["path"].IsString()) {
    plan.root = body["path"].GetString();
  }
  plan.root = plan.root.empty() ? DefaultBackupRoot() : WithTrailingSeparator(plan.root);
  plan.task = task;
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
