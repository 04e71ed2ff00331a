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

// Command 1600: a full backup into "path" (or the default root) + UDID + time suffix.
BackupOutcome RunBackup(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                        const rapidjson::Value& body);

// Command 1601: restores the backup folder "path" made from "sourceDeviceId".
BackupOutcome RunRestore(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                         const rapidjson::Value& body);

// A backup into the process's work folder ("Backup0/") that keeps only files whose local
// path contains one of `wanted`, and stops with 6 when `task` is cancelled.
BackupOutcome BackupToWorkFolder(VadoModule& module, const bas::IPCPacket1& request,
                                 VadoDevice& device, DhTask& task,
                                 const std::vector<std::string>& wanted);
