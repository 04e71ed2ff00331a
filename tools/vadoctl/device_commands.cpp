#include "device_commands.h"

#include <cstdio>

#include "backup_commands.h"
#include "info_commands.h"

namespace vadoctl {

const std::vector<DeviceCommand>& DeviceCommands() {
  static const std::vector<DeviceCommand> commands = {
      {"info", "info                identity, settings, battery and storage figures", 0, 0,
       RunInfo},
      {"rename", "rename NAME         give the device a new name", 1, 1, RunRename},
      {"backup", "backup [DIR]        a full backup into DIR (default: the usual backup root)",
       0, 1, RunBackupCommand},
      {"restore", "restore DIR [UDID]  restore a backup folder (made from UDID) onto the device",
       1, 2, RunRestoreCommand},
      {"backups", "backups [DIR...]    list the backups in folders, with their sizes", 0, -1,
       RunBackupsCommand},
      {"encryption", "encryption [on PW]  show backup encryption, or turn it on with PW", 0, 2,
       RunEncryptionCommand},
  };
  return commands;
}

const DeviceCommand* FindDeviceCommand(const std::string& name) {
  for (const DeviceCommand& command : DeviceCommands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int FinishRequest(const std::string& what, const std::optional<AgentMessage>& result) {
  if (!result) {
    std::fprintf(stderr, "vadoctl: %s: no answer from the agent\n", what.c_str());
    return kExitNoResult;
  }
  const int64_t code = DeviceSession::ResultCode(*result);
  if (code != 0) {
    std::fprintf(stderr, "vadoctl: %s failed with code %lld\n", what.c_str(),
                 static_cast<long long>(code));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace vadoctl
