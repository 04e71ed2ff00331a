#include "services/backup/backup_service.h"

#include <cstdlib>
#include <mutex>

#include "services/backup/backup_keybag.h"
#include "services/backup/backup_link.h"
#include "services/backup/backup_run.h"
#include "services/backup/backup_settings.h"
#include "services/backup/restore_run.h"

namespace devsim {
namespace {

constexpr double kProtocolVersions[] = {2.0, 2.1};
constexpr int64_t kErrNoCommonVersion = 1;
constexpr int64_t kErrBadRequest = 2;
constexpr int64_t kErrUnsupported = 3;
constexpr int64_t kErrPassword = 207;

// Serialises password changes of all devices: each is a read-check-write of backup.plist
// and a lockdown value.
std::mutex g_password_mu;

std::optional<double> Number(plist_t node) {
  if (!node) return std::nullopt;
  if (plist_get_node_type(node) == PLIST_REAL) {
    double d = 0;
    plist_get_real_val(node, &d);
    return d;
  }
  if (plist_get_node_type(node) == PLIST_UINT) {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<double>(v);
  }
  return std::nullopt;
}

void Hello(DeviceLink& link, plist_t request) {
  plist_t offered = DictItem(request, "SupportedProtocolVersions");
  double best = 0;
  if (offered && plist_get_node_type(offered) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(offered); ++i) {
      auto v = Number(plist_array_get_item(offered, i));
      if (!v) continue;
      for (double mine : kProtocolVersions) {
        if (*v > mine - 1e-9 && *v < mine + 1e-9 && mine > best) best = mine;
      }
    }
  }
  Plist reply = NewDict();
  SetString(reply.get(), "MessageName", "Response");
  if (best == 0) {
    SetUint(reply.get(), "ErrorCode", kErrNoCommonVersion);
  } else {
    SetUint(reply.get(), "ErrorCode", 0);
    SetReal(reply.get(), "ProtocolVersion", best);
  }
  link.SendProcessMessage(reply.get());
}

bool WillEncrypt(SimDevice& device) {
  std::string error;
  Plist v = device.GetValue(std::string("com.apple.mobile.backup"), std::string("WillEncrypt"),
                            true, &error);
  uint8_t b = 0;
  if (v && plist_get_node_type(v.get()) == PLIST_BOOLEAN) plist_get_bool_val(v.get(), &b);
  return b != 0;
}

bool SetBackupDomainBool(SimDevice& device, const char* key, bool value) {
  Plist v(plist_new_bool(value ? 1 : 0));
  return device.SetValue(std::string("com.apple.mobile.backup"), key, v.get()).empty();
}

// NewPassword alone turns encryption on, OldPassword alone turns it off, both change it.
void ChangePassword(BackupLink& link, SimDevice& device, plist_t request) {
  auto old_pw = DictString(request, "OldPassword");
  auto new_pw = DictString(request, "NewPassword");
  std::lock_guard<std::mutex> lock(g_password_mu);
  BackupSettings settings = LoadBackupSettings(device.dir());
  bool on = WillEncrypt(device) && !settings.keybag.empty();
  if (device.dir().empty() || (!old_pw && !new_pw) || (new_pw && new_pw->empty())) {
    link.Finish(kErrBadRequest, "No password given");
    return;
  }
  if (on) {
    if (!old_pw || !KeybagAcceptsPassword(settings.keybag, *old_pw)) {
      link.Finish(kErrPassword, "The backup password is not correct");
      return;
    }
  } else if (!new_pw) {
    link.Finish(kErrBadRequest, "Backup encryption is not on");
    return;
  }
  std::string bag = new_pw ? MakeBackupKeybag(*new_pw) : std::string();
  if ((new_pw && bag.empty()) || !SaveKeybag(device.dir(), bag) ||
      !SetBackupDomainBool(device, "WillEncrypt", !bag.empty())) {
    link.Finish(kErrBadRequest, "Could not store the backup password");
    return;
  }
  link.Finish(0, "");
}

void EnableCloudBackup(BackupLink& link, SimDevice& device, plist_t request) {
  auto state = DictBool(request, "CloudBackupState");
  if (!state) {
    link.Finish(kErrBadRequest, "CloudBackupState missing");
    return;
  }
  if (!SetBackupDomainBool(device, "CloudBackupEnabled", *state)) {
    link.Finish(kErrBadRequest, "Could not change the cloud backup state");
    return;
  }
  link.Finish(0, "");
}

uint64_t LinkMajorVersion(const SimDevice& device) {
  std::string v = device.RootString("ProductVersion").value_or("");
  return std::atoi(v.c_str()) >= 14 ? 400 : 300;
}

}  // namespace

void ServeBackup(ServiceContext& ctx) {
  DeviceLink link(ctx.stream);
  if (!link.Handshake(LinkMajorVersion(ctx.device), 0)) return;
  for (;;) {
    Plist msg;
    std::string name;
    if (link.Read(&msg, &name) != DlRead::kOk) return;
    if (name == "DLMessageDisconnect") return;
    if (name == "DLMessageStatusResponse") {
      // A host that answers the final result (it saw progress 100) waits for our goodbye.
      link.SendDisconnect();
      continue;
    }
    if (name != "DLMessageProcessMessage") continue;  // pings and unknown names get no answer
    plist_t request = plist_array_get_size(msg.get()) > 1 ? plist_array_get_item(msg.get(), 1) : nullptr;
    std::string what = DictString(request, "MessageName").value_or("");
    if (what == "Hello") {
      Hello(link, request);
      continue;
    }
    BackupLink run(link, ctx.device.faults().backup);
    if (!IsDict(request)) {
      run.Finish(kErrBadRequest, "The request is not a dictionary");
    } else if (what == "Backup") {
      std::string target = DictString(request, "TargetIdentifier").value_or(ctx.device.udid());
      if (target != ctx.device.udid()) {
        run.Finish(kErrBadRequest, "Invalid target identifier");
      } else {
        RunBackup(run, ctx.device, target);
      }
    } else if (what == "Restore") {
      RunRestore(run, ctx.device, request);
    } else if (what == "ChangePassword") {
      ChangePassword(run, ctx.device, request);
    } else if (what == "EnableCloudBackup") {
      EnableCloudBackup(run, ctx.device, request);
    } else {
      run.Finish(kErrUnsupported, "Unsupported request: " + what);
    }
    if (run.close_now()) return;
  }
}

}  // namespace devsim
