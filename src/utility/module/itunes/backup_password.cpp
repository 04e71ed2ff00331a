#include "utility/module/itunes/backup_password.h"

#include <glog/logging.h>

#include "common/text_convert.h"
#include "utility/module/itunes/backup_conversation.h"
#include "utility/module/itunes/backup_device_lock.h"
#include "utility/module/itunes/backup_run_watch.h"
#include "utility/module/itunes/devicelink_message.h"

bool RequestBackupPassword(VadoDevice& device, DhTask* task, const std::string& password) {
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  RunWatch watch(device, task, BackupStallLimit());
  DeviceRunLock run_lock(udid, [&] { return watch.cancelled(); });
  if (!run_lock.held()) return false;
  ServicePtr service = StartBackupService(device);
  if (!service) {
    LOG(ERROR) << "password change: the backup service could not be started";
    return false;
  }
  AMDServiceConnectionRef connection = service->connection();
  watch.Watch(connection);
  ReaderContext context;
  bool accepted = false;
  if (Handshake(connection, context) &&
      SendXmlMessage(connection, ChangePasswordRequest(udid, password))) {
    // The device answers with its final result; anything before it needs no answer here.
    while (!watch.cancelled() && ReadMessage(connection, context, nullptr)) {
      watch.Touch();
      if (context.message.code == kDLDisconnect) break;
      if (context.message.code == kDLProcessMessage && context.error) {
        accepted = context.error_code == 0;
        if (!accepted) {
          LOG(ERROR) << "password change refused: " << context.error_code << " "
                     << context.error_text;
        }
        break;
      }
    }
  }
  watch.Release();
  return accepted && !watch.cancelled();
}
