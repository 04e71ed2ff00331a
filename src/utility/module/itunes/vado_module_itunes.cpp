#include "utility/module/itunes/vado_module_itunes.h"

#include <glog/logging.h>

#include <filesystem>
#include <vector>

#include "common/json_text.h"
#include "common/plist_value.h"
#include "common/text_convert.h"
#include "platform/command_runner.h"
#include "platform/process.h"
#include "utility/ios/device_values.h"
#include "utility/ios/vado_device_connection.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/module/itunes/backup_engine.h"
#include "utility/module/itunes/backup_listing.h"
#include "utility/module/itunes/backup_password.h"
#include "utility/module/itunes/backup_paths.h"

namespace {

constexpr char kMediaProgram[] = "iTunes.exe";

// Protected domains are only readable in a session.
bool DomainBoolean(VadoDevice& device, const char* domain, const char* key) {
  int32_t error = 0;
  SessionPtr session = GetSession(device.device, &error);
  PlistValue value;
  return GetDeviceValue(device.device, domain, key, &value) && value.tag() == kPlistBoolean &&
         value.boolean() != 0;
}

std::string ErrorInfo(const std::string& message) {
  return "{\"error\":" + JsonQuote(message) + "}";
}

}  // namespace

bool FindMyDeviceState(VadoDevice& device) {
  return DomainBoolean(device, "com.apple.fmip", "IsAssociated");
}

bool BackupEncryptionState(VadoDevice& device) {
  return DomainBoolean(device, "com.apple.mobile.backup", "WillEncrypt");
}

int64_t SetBackupPassword(VadoDevice& device, DhTask* task, const std::string& password) {
  // Encryption that was on already does not make a refused change a success.
  if (!RequestBackupPassword(device, task, password)) return 1;
  return BackupEncryptionState(device) ? 0 : 1;
}

bool IsMediaProgramRunning() { return platform::IsProcessRunning(kMediaProgram); }

int64_t VadoModuleiTunes::HandleRequest(const bas::IPCPacket1& packet) {
  // Backups name their device by "uuid" alone: a handle that outlived its device could by
  // now stand for another one, and a backup must never go to the wrong device. Listing
  // backups and the media-program commands need no device.
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOptional);
  if (!begun) return 0;
  const RequestHeader& request = begun->header;
  const VadoDevicePtr& device = begun->device;
  const TaskPtr& task = begun->task;
  const uint32_t command = packet.command_id;
  const bool needs_body = command == kBackupCommand || command == kRestoreCommand ||
                          command == kListCommand || command == kPasswordCommand;
  int64_t code = kResultOk;
  std::string message;
  if (needs_body && request.section_count != 1) {
    Reply(packet, request.uuid, kResultOk, ErrorInfo(message));
    return 0;
  }
  const bool needs_device = command != kListCommand && command != kMediaRunningCommand &&
                            command != kMediaKillCommand && command >= kBackupCommand &&
                            command <= kMediaKillCommand;
  rapidjson::Document body;
  if (needs_device && !device) {
    code = kResultNoDevice;
  } else if (needs_body && !ParseRequestBody(request, &body)) {
    code = kResultBadBody;
  } else {
    switch (command) {
      case kBackupCommand: {
        BackupOutcome outcome = RunBackup(*this, packet, *device, task.get(), body);
        code = outcome.code;
        message = outcome.message;
        break;
      }
      case kRestoreCommand: {
        BackupOutcome outcome = RunRestore(*this, packet, *device, task.get(), body);
        code = outcome.code;
        message = outcome.message;
        break;
      }
      case kListCommand:
        code = ListBackups(packet, body);
        break;
      case kFindMyCommand:
        code = FindMyDeviceState(*device) ? 0 : 1;
        break;
      case kEncryptionCommand:
        code = BackupEncryptionState(*device) ? 0 : 1;
        break;
      case kPasswordCommand: {
        std::string password;
        if (body.IsObject() && body.HasMember("password") && body["password"].IsString()) {
          password = body["password"].GetString();
        }
        code = SetBackupPassword(*device, task.get(), password);
        break;
      }
      case kMediaRunningCommand:
        code = IsMediaProgramRunning() ? 0 : 1;
        break;
      case kMediaKillCommand:
        code = platform::KillProcessesNamed(kMediaProgram) ? 0 : 1;
        break;
      default:
        break;
    }
  }
  Reply(packet, request.uuid, code, ErrorInfo(message));
  return 0;
}

int64_t VadoModuleiTunes::ListBackups(const bas::IPCPacket1& packet, const rapidjson::Value& body) {
  if (!body.IsObject() || !body.HasMember("paths") || !body["paths"].IsArray()) {
    return kBackupParameterError;
  }
  std::vector<std::string> folders;
  for (const auto& item : body["paths"].GetArray()) {
    if (!item.IsString()) continue;
    std::string folder = item.GetString();
    if (folder.empty()) {
      folders.push_back(DefaultBackupRoot());
      continue;
    }
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) folders.push_back(WithTrailingSeparator(folder));
  }
  std::vector<rapidjson::Document> described;
  for (const std::string& folder : folders) {
    for (const std::string& backup : FindBackups(folder)) {
      std::optional<rapidjson::Document> description = DescribeBackup(backup);
      if (!description) continue;
      SendData(packet, *description, 0);
      described.push_back(std::move(*description));
    }
  }
  for (rapidjson::Document& description : described) {
    const std::string path = description["Path"].GetString();
    description.AddMember("Size", rapidjson::Value(FolderSize(path)), description.GetAllocator());
    SendData(packet, description, 1);
  }
  return kResultOk;
}
