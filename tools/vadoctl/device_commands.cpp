#include "device_commands.h"

#include <cstdio>

#include <rapidjson/document.h>

#include "app_commands.h"
#include "backup_commands.h"
#include "book_commands.h"
#include "driver_commands.h"
#include "erase_commands.h"
#include "file_commands.h"
#include "info_commands.h"
#include "media_commands.h"
#include "message_commands.h"
#include "photo_commands.h"
#include "sync_commands.h"

namespace vadoctl {

const std::vector<DeviceCommand>& DeviceCommands() {
  static const std::vector<DeviceCommand> commands = {
      {"info", "info                identity, settings, battery and storage figures", 0, 0,
       RunInfo},
      {"rename", "rename NAME         give the device a new name", 1, 1, RunRename},
      {"apps", "apps                the user applications (JSON lines, or a table on a terminal)",
       0, 0, RunApps},
      {"icons", "icons --out DIR [ID...]  write DIR/<bundle id>.png (all apps when no ID)", 0, -1,
       RunIcons},
      {"install", "install FILE...     install application packages (.ipa)", 1, -1, RunInstall},
      {"uninstall", "uninstall ID...     uninstall applications by bundle id", 1, -1,
       RunUninstall},
      {"archive", "archive ID...       archive applications (the device keeps the package)", 1,
       -1, RunArchive},
      {"contacts", "contacts ACTION ... list, add, edit, delete contacts; groups (see below)", 1,
       -1, RunSyncCommand},
      {"calendars", "calendars ACTION .. list, add, edit, delete calendars and their events", 1,
       -1, RunSyncCommand},
      {"bookmarks", "bookmarks ACTION .. list, add, edit, delete bookmarks", 1, -1,
       RunSyncCommand},
      {"notes", "notes ACTION ...    list or add notes", 1, -1, RunSyncCommand},
      {"pull", "pull DEVICE_PATH [LOCAL]  download a device file block by block", 1, 2, RunPull},
      {"push", "push LOCAL [--dir DEVICE_DIR | --book]  upload a file (resumes a cut upload)", 1,
       1, RunPush},
      {"copy-out", "copy-out NAME DEVICE_PATH LOCAL_DIR ...  copy device items to local folders", 3,
       -1, RunCopyOut},
      {"cancel", "cancel TASK_ID      cancel a running task of the device", 1, 1, RunCancel},
      {"wipe", "wipe --backup DIR [--password P]  wipe media and apps, then restore DIR", 0, 0,
       RunWipe},
      {"wipe-free", "wipe-free --level N  overwrite the free space (1 or 2 passes)", 0, 0,
       RunWipeFree},
      {"messages", "messages            text-message conversations (--via, --chat ID)", 0, 0,
       RunMessagesCommand},
      {"media", "media [LIST]        songs, movies, tvshows, musicvideos, playlists, playlist PID,\n"
                "                      books, ringtones or memos (default: how many of each)",
       0, 2, RunMediaCommand},
      {"photos", "photos [list|albums|album ID --type T|thumbs ID... --out DIR|delete NAME]", 0,
       -1, RunPhotosCommand},
      {"books", "books add FILE | books remove DEVICE_PATH  add an EPUB or PDF book, remove one",
       2, 2, RunBooksCommand},
      {"backup", "backup [DIR]        a full backup into DIR (default: the usual backup root)",
       0, 1, RunBackupCommand},
      {"restore", "restore DIR [UDID]  restore a backup folder (made from UDID) onto the device",
       1, 2, RunRestoreCommand},
      {"backups", "backups [DIR...]    list the backups in folders, with their sizes", 0, -1,
       RunBackupsCommand},
      {"encryption", "encryption [on PW]  show backup encryption, or turn it on with PW", 0, 2,
       RunEncryptionCommand},
      {"drivers", "drivers ACTION ...  download URL | install [PATH...] | check (store application)",
       1, -1, RunDrivers, false},
      {"restart-monitoring", "restart-monitoring  start the agent's device monitoring again", 0, 0,
       RunRestartMonitoring, false},
  };
  return commands;
}

const DeviceCommand* FindDeviceCommand(const std::string& name) {
  for (const DeviceCommand& command : DeviceCommands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int FinishRequest(const std::string& what, const RequestOutcome& outcome) {
  if (!outcome.answered) {
    std::fprintf(stderr, "vadoctl: %s: no answer from the agent\n", what.c_str());
    return kExitNoResult;
  }
  if (outcome.code != 0) {
    rapidjson::Document header;
    header.Parse(outcome.header.c_str());
    std::string reason;
    if (header.IsObject() && header.HasMember("info") && header["info"].IsObject() &&
        header["info"].HasMember("error") && header["info"]["error"].IsString()) {
      reason = header["info"]["error"].GetString();
    }
    std::fprintf(stderr, "vadoctl: %s failed with code %lld%s%s\n", what.c_str(),
                 static_cast<long long>(outcome.code), reason.empty() ? "" : ": ", reason.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace vadoctl
