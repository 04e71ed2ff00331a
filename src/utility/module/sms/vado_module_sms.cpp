#include "utility/module/sms/vado_module_sms.h"

#include <glog/logging.h>
#include <malloc.h>

#include <filesystem>
#include <vector>

#include "common/json_text.h"
#include "common/process_state.h"
#include "common/text_convert.h"
#include "utility/module/database/device_folder.h"
#include "utility/module/database/list_sender.h"
#include "utility/module/database/message_db_name.h"
#include "utility/module/database/sqlite_handles.h"
#include "utility/module/itunes/backup_engine.h"
#include "utility/module/itunes/message_snapshot.h"
#include "utility/module/sms/sms_database.h"

namespace fs = std::filesystem;

namespace {

// The way the request asks for; a missing "command" counts as the backup, anything that is
// not an integer as no known way.
int64_t RequestedWay(const rapidjson::Document& header) {
  if (!header.HasMember("info") || !header["info"].IsObject()) return VadoModuleSms::kViaBackup;
  const rapidjson::Value& info = header["info"];
  if (!info.HasMember("command")) return VadoModuleSms::kViaBackup;
  return info["command"].IsInt64() ? info["command"].GetInt64() : -1;
}

// The newest copy of the message database in the device's restricted backups under
// `root`; the device's older runs there are removed.
std::string NewestBackupDatabase(const std::string& root, const std::string& udid) {
  std::string newest;
  fs::file_time_type newest_time{};
  std::vector<fs::path> runs;
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().rfind(udid, 0) != 0 || !it->is_directory()) continue;
    runs.push_back(it->path());
    std::error_code walk_error;
    for (fs::recursive_directory_iterator file(it->path(), walk_error), last;
         !walk_error && file != last; file.increment(walk_error)) {
      if (file->path().filename() != kMessageDbFileName || !file->is_regular_file()) continue;
      std::error_code time_error;
      const fs::file_time_type time = fs::last_write_time(file->path(), time_error);
      if (newest.empty() || time > newest_time) {
        newest = file->path().string();
        newest_time = time;
      }
    }
  }
  for (const fs::path& run : runs) {
    if (!newest.empty() && newest.rfind(run.string() + "/", 0) != 0) fs::remove_all(run, error);
  }
  return newest;
}

// Why a request failed, for the front end; nothing for success and for the backup's own
// codes.
std::optional<std::string> FailureInfo(int64_t code) {
  switch (code) {
    case kResultCancelled: return "{\"error\":\"Task cancelled.\"}";
    case kDbOpenFailed: return "{\"error\":\"MessageDatabaseUnavailable\"}";
    case kDbPrepareFailed: return "{\"error\":\"MessageDatabaseUnreadable\"}";
    case kSnapshotFailed: return "{\"error\":\"BackupToolUnavailable\"}";
    default: return std::nullopt;
  }
}

void SetHeldPath(VadoDevice& device, const std::string& path) {
  std::lock_guard<std::mutex> lock(device.message_db_mutex);
  device.message_db_path = path;
}

std::string HeldPath(VadoDevice& device) {
  std::lock_guard<std::mutex> lock(device.message_db_mutex);
  return device.message_db_path;
}

}  // namespace

int64_t VadoModuleSms::HandleRequest(const bas::IPCPacket1& packet) {
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOrHandle);
  if (!begun) return 0;
  VadoDevice& device = *begun->device;
  DhTask& task = *begun->task;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  if (packet.command_id != kListCommand || begun->header.section_count != 1) {
    begun->ForgetTask();
    Reply(packet, udid, kResultOk);
    return 0;
  }
  // The identifier names local files; one that could leave their folder is refused.
  if (!IsPlainFileName(udid)) {
    LOG(ERROR) << "messages: refused a device identifier that is not a plain file name";
    begun->ForgetTask();
    Reply(packet, udid, kRefusedDeviceIdentifier, "{\"error\":\"RefusedDeviceIdentifier\"}");
    return 0;
  }
  int64_t code = kResultOk;
  std::string backup_error;
  switch (RequestedWay(begun->header.json)) {
    case kViaBackup: code = ViaBackup(packet, device, task, &backup_error); break;
    case kViaSnapshot: code = ViaSnapshot(packet, device, task); break;
    case kViaHeldPath: code = ViaHeldPath(packet, device, task); break;
    default: break;
  }
  begun->ForgetTask();
  if (!backup_error.empty()) {
    Reply(packet, udid, code, "{\"error\":" + JsonQuote(backup_error) + "}");
  } else {
    Reply(packet, udid, code, FailureInfo(code));
  }
  return 0;
}

int64_t VadoModuleSms::ViaBackup(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                                 std::string* error) {
  const std::string name = kMessageDbFileName;
  const BackupOutcome backup =
      BackupToWorkFolder(*this, packet, device, task, {name, name + "-shm", name + "-wal"});
  if (backup.code != 0) {
    *error = backup.message;
    return backup.code;
  }
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  const std::string path = NewestBackupDatabase(WorkFolder(false) + "Backup0/", udid);
  if (path.empty()) {
    LOG(ERROR) << "messages: the backup delivered no message database";
    return kDbOpenFailed;
  }
  SetHeldPath(device, path);
  return QuerySmsDb(packet, device, task, path);
}

int64_t VadoModuleSms::ViaSnapshot(const bas::IPCPacket1& packet, VadoDevice& device,
                                   DhTask& task) {
  const SnapshotOutcome snapshot = TakeMessageSnapshot(Utf16ToUtf8(device.unique_device_id), &task);
  if (snapshot.code != 0) return snapshot.code;
  SetHeldPath(device, snapshot.path);
  // A tool that ended before the database was accepted leaves no path: a failure to open.
  return QuerySmsDb(packet, device, task, snapshot.path);
}

int64_t VadoModuleSms::ViaHeldPath(const bas::IPCPacket1& packet, VadoDevice& device,
                                   DhTask& task) {
  return QuerySmsDb(packet, device, task, HeldPath(device));
}

int64_t VadoModuleSms::QuerySmsDb(const bas::IPCPacket1& packet, VadoDevice& device,
                                  DhTask& task, const std::string& path) {
  const int64_t code = SendSmsDb(packet, device, task, path);
  // A large listing leaves its worker thread's heap full of freed blocks; hand them back so
  // that listings on other threads do not each keep their own.
  ::malloc_trim(0);
  return code;
}

int64_t VadoModuleSms::SendSmsDb(const bas::IPCPacket1& packet, VadoDevice& device,
                                 DhTask& task, const std::string& path) {
  const auto cancelled = [&task] { return IsCancelled(task); };
  SmsReadResult read = ReadSmsDb(path, cancelled);
  if (read.code != kResultOk || read.chats.empty()) return read.code;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  const std::string copy = DeviceTempFile("sms-", udid, ".db").value_or(std::string());
  std::error_code error;
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing, error);
  ListSender sender(*this, packet, udid);
  sender.SendPath(copy);
  sender.SendCount(read.chats.size());
  for (SmsChat& chat : read.chats) {
    if (IsCancelled(task)) return kResultCancelled;
    sender.SendGroup(SmsChatJson(chat));
    sender.SendItems(chat.messages.size(), [&chat](size_t i, std::string* out) {
      AppendSmsMessageJson(chat.messages[i], out);
    });
    // A sent conversation's records are not needed again.
    std::vector<SmsMessage>().swap(chat.messages);
    std::vector<SmsHandle>().swap(chat.handles);
  }
  return kResultOk;
}
