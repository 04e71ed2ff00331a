// Backup requests (1600-1607): make and restore backups, list the backups in folders,
// read the find-my-device and backup-encryption states, set the backup password, and
// check for or end the desktop media program.
#pragma once

#include <string>

#include "utility/module/vado_module.h"

class VadoModuleiTunes : public VadoModule {
 public:
  static constexpr uint32_t kBackupCommand = 1600;
  static constexpr uint32_t kRestoreCommand = 1601;
  static constexpr uint32_t kListCommand = 1602;
  static constexpr uint32_t kFindMyCommand = 1603;
  static constexpr uint32_t kEncryptionCommand = 1604;
  static constexpr uint32_t kPasswordCommand = 1605;
  static constexpr uint32_t kMediaRunningCommand = 1606;
  static constexpr uint32_t kMediaKillCommand = 1607;

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  int64_t ListBackups(const bas::IPCPacket1& packet, const rapidjson::Value& body);
};

// "IsAssociated" of "com.apple.fmip"; false when it cannot be read.
bool FindMyDeviceState(VadoDevice& device);
// "WillEncrypt" of "com.apple.mobile.backup"; false when it cannot be read.
bool BackupEncryptionState(VadoDevice& device);
// Turns backup encryption on with `password` over the device's backup service; 0 when the
// device accepted it and encryption is on afterwards, 1 otherwise.
int64_t SetBackupPassword(VadoDevice& device, DhTask* task, const std::string& password);
// True when a process named like the desktop media program runs.
bool IsMediaProgramRunning();
