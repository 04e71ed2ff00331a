#include <glog/logging.h>

#include <cstring>
#include <optional>

#include "common/plist_reader.h"
#include "common/text_convert.h"
#include "utility/module/itunes/backup_conversation.h"
#include "utility/module/itunes/backup_device_lock.h"
#include "utility/module/itunes/backup_engine.h"
#include "utility/module/itunes/backup_file_stream.h"
#include "utility/module/itunes/backup_paths.h"
#include "utility/module/itunes/backup_run_watch.h"
#include "utility/module/itunes/devicelink_message.h"

namespace {

constexpr char kRestoreReadError[] = "Task error Unknown.";
constexpr char kRestoreFileError[] = "RestoreFileError";

struct RestoreRequestBody {
  std::string folder;  // with a trailing '/'
  std::string source;
  std::string password;
};

std::optional<RestoreRequestBody> ReadBody(const rapidjson::Value& body) {
  if (!body.IsObject() || !body.HasMember("path") || !body["path"].IsString() ||
      !body.HasMember("sourceDeviceId") || !body["sourceDeviceId"].IsString()) {
    return std::nullopt;
  }
  RestoreRequestBody out;
  out.folder = WithTrailingSeparator(body["path"].GetString());
  out.source = body["sourceDeviceId"].GetString();
  if (body.HasMember("password") && body["password"].IsString()) {
    out.password = body["password"].GetString();
  }
  return out;
}

// Whether the backup's Manifest.plist says it is encrypted; nothing when it is unreadable.
std::optional<bool> ManifestEncrypted(const std::string& folder) {
  PlistValue manifest;
  if (!PlistFileToValue(folder + "Manifest.plist", &manifest) || manifest.tag() != kPlistArray ||
      manifest.array().empty() || manifest.array()[0].tag() != kPlistDictionary) {
    return std::nullopt;
  }
  const PlistValue* value = manifest.array()[0].dictionary()->Find("IsEncrypted");
  return value != nullptr && value->tag() == kPlistBoolean && value->boolean() != 0;
}

// The first file of a restore that could not be sent.
struct FileFailure {
  std::string path;
  int error_number = 0;
};

// Answers one download request: the listed files in order until one cannot be sent, the
// end marker, then success, or "Multi status" naming the file that failed. False when the
// connection failed.
bool SendRequestedFiles(AMDServiceConnectionRef connection, ReaderContext& context,
                        const RestoreRequestBody& body, RunWatch& watch,
                        std::optional<FileFailure>* failure) {
  std::optional<FileFailure> failed;
  const auto moved = [&] { watch.Touch(); };
  for (const std::string& path : context.requested) {
    std::optional<std::string> local = MapRestorePath(path, body.source, body.folder);
    if (!local) continue;
    int error_number = 0;
    if (SendFile(connection, path, *local, moved, &error_number) < 0) {
      if (error_number == 0) return false;  // the connection failed
      LOG(ERROR) << "restore: cannot send " << *local << ": " << std::strerror(error_number);
      failed = FileFailure{path, error_number};
      break;
    }
  }
  context.requested.clear();
  if (!SendEndOfList(connection)) return false;
  if (!failed) return SendXmlMessage(connection, EmptyStatusResponse());
  if (!failure->has_value()) *failure = failed;
  return SendXmlMessage(connection,
                        FileErrorResponse(failed->path, DeviceLinkFileError(failed->error_number),
                                          std::strerror(failed->error_number)));
}

}  // namespace

BackupOutcome RunRestore(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                         DhTask* task, const rapidjson::Value& json) {
  std::optional<RestoreRequestBody> body = ReadBody(json);
  if (!body) return {kBackupParameterError, "ParameterError"};
  std::optional<bool> encrypted = ManifestEncrypted(body->folder);
  if (!encrypted) return {kBackupManifestError, "BackupManifestPlistError"};

  const std::string target = Utf16ToUtf8(device.unique_device_id);
  RunWatch watch(device, task, BackupStallLimit());
  DeviceRunLock run_lock(target, [&] { return watch.cancelled(); });
  if (!run_lock.held()) return {kBackupCancelled, "Task cancelled."};
  ServicePtr service = StartBackupService(device);
  if (!service) return {kBackupNoService, "MonitorDeviceOpenAFCServiceFail"};
  AMDServiceConnectionRef connection = service->connection();
  watch.Watch(connection);

  BackupOutcome outcome{kBackupTaskError, kRestoreReadError};
  std::optional<FileFailure> failure;
  ReaderContext context;
  if (Handshake(connection, context) &&
      SendXmlMessage(connection, RestoreRequest(body->source, target, *encrypted, body->password))) {
    int64_t last_reported = -1;
    for (bool done = false; !done;) {
      if (watch.cancelled() || !ReadMessage(connection, context, nullptr)) break;
      watch.Touch();
      ReportRunProgress(module, request, device, context, &last_reported);
      switch (context.message.code) {
        case kDLDownloadFiles:
          done = !SendRequestedFiles(connection, context, *body, watch, &failure);
          break;
        case kDLDisconnect:
          outcome = {kBackupDisconnected, ""};
          done = true;
          break;
        case kDLProcessMessage:
          if (context.error) {
            LOG(INFO) << "error: " << context.error_code << " description: " << context.error_text;
            outcome = {context.error_code, context.error_text};
            done = true;
          } else {
            done = !SendEndOfList(connection) ||
                   !SendXmlMessage(connection, EmptyStatusResponse());
          }
          break;
        default:
          break;
      }
    }
  }
  watch.Release();
  if (outcome.code != kBackupOk && watch.cancelled()) {
    outcome = {kBackupCancelled, "Task cancelled."};
  } else if (outcome.code != kBackupOk && watch.stalled()) {
    outcome = {kBackupTaskError, "DeviceStalled"};
  } else if (outcome.code == kBackupOk && failure) {
    // The device may call a restore good that lacks a file; the front end is told.
    outcome = {kBackupTaskError, kRestoreFileError};
  }
  return outcome;
}
