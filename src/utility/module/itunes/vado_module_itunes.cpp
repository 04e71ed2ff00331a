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
#include "utility/module/itunes/backup_engine.h"
#include "utility/module/itunes/backup_listing.h"
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

int64_t SetBackupPassword(VadoDevice& device, const std::string& password) {
  std::string output;
  const int status = platform::RunCommand(
      {"idevicebackup2", "-u", Utf16ToUtf8(device.unique_device_id), "encryption", "on", password},
      &output);
  if (status != 0) LOG(WARNING) << "idevicebackup2 ended with " << status << ": " << output;
  // The tool ran its own lockdown session; read the new state through a fresh one.
  int32_t error = 0;
  SessionPtr session = RenewSession(device.device, &error);
  return BackupEncryptionState(device) ? 0 : 1;
}

bool IsMediaProgramRunning() { return platform::IsProcessRunning(kMediaProgram); }

int64_t VadoModuleiTunes::HandleRequest(const bas::IPCPacket1& packet) {
  RequestHeader request = ParseRequestHeader(packet);
  if (!request.valid) {
    Reply(packet, "", kResultBadHeader);
    return 0;
  }
  VadoDevicePtr device;
  if (!request.uuid.empty()) {
    device = FindRequestDevice(request);
    if (device && !BeginTask(device->tasks, static_cast<int64_t>(packet.task_id))) {
      return 0;  // cancelled before it started: no reply
    }
  }
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
        BackupOutcome outcome = RunBackup(*this, packet, *device, body);
        code = outcome.code;
        message = outcome.message;
        break;
      }
      case kRestoreCommand: {
        BackupOutcome outcome = RunRestore(*this, packet, *device, body);
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
        code = SetBackupPassword(*device, password);
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
