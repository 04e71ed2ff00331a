// The computer's side of the device's backup service: full backups into a new folder
// under a backup root, and restores of such a folder onto a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "common/dh_task.h"
#include "common/ipc_packet.h"
#include "utility/ios/vado_device.h"

class VadoModule;

struct BackupOutcome {
  int64_t code = 0;
  std::string message;
};

// Result codes of backups and restores.
enum BackupResult : int64_t {
  kBackupOk = 0,
  kBackupTaskError = 2,
  kBackupCancelled = 6,
  kBackupNoService = 12,
  kBackupParameterError = 21,
  kBackupManifestError = 42,
  kBackupDisconnected = 45,
};

// Runs of one device take turns. A run whose `task` (may be null) is cancelled, or whose
// device makes no progress for the stall limit, ends with 6 "Task cancelled." or
// 2 "DeviceStalled" and leaves no partial backup folder.

// Command 1600: a full backup into "path" (or the default root) + UDID + time suffix. The
// folder is always a new one; a device identifier that cannot name a folder is refused.
BackupOutcome RunBackup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                        DhTask* task, const rapidjson::Value& body);

// Command 1601: restores the backup folder "path" made from "sourceDeviceId". A file that
// cannot be sent is reported to the device and ends the restore with a failure code.
BackupOutcome RunRestore(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                         DhTask* task, const rapidjson::Value& body);

// A backup into the process's work folder ("Backup0/") that keeps only files whose local
// path contains one of `wanted`, and stops with 6 when `task` is cancelled.
BackupOutcome BackupToWorkFolder(VadoModule& module, const bas::IPCPacket1& request,
                                 VadoDevice& device, DhTask& task,
                                 const std::vector<std::string>& wanted);
