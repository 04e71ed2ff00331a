#include "services/sync/sync_service.h"

#include "plist/plist_frame.h"

namespace devsim {
namespace {

// True when the domain's entry for `key` has an inner value that is a non-empty array: an
// over-the-air account owns the class.
bool HasAccounts(plist_t domain, const char* key) {
  plist_t entry = DictItem(domain, key);
  for (const std::string& k : DictKeys(entry)) {
    plist_t v = plist_dict_get_item(entry, k.c_str());
    if (plist_get_node_type(v) == PLIST_ARRAY && plist_array_get_size(v) > 0) return true;
  }
  return false;
}

}  // namespace

SyncSessionConfig SyncConfigFor(SimDevice& device) {
  SyncSessionConfig config;
  config.sync_dir = device.SyncDir();
  Plist settings = device.dir().empty() ? nullptr : ReadPlistFile(device.SyncDir() / "settings.plist");
  config.settings = MakeSyncSettings(settings.get(), device.RootString("ProductVersion").value_or(""));
  std::string error;
  Plist data_sync = device.GetValue(std::string("com.apple.mobile.data_sync"), std::nullopt, true, &error);
  Plist tethered = device.GetValue(std::string("com.apple.mobile.tethered_sync"), std::nullopt, true, &error);
  for (const SyncClassInfo& cls : SyncClasses()) {
    if (HasAccounts(data_sync.get(), cls.key)) config.cloud_classes.insert(cls.key);
    if (DictBool(DictItem(tethered.get(), cls.key), "DisableTethered").value_or(false)) {
      config.refused_classes.insert(cls.key);
    }
  }
  return config;
}

void ServeMobileSync(ServiceContext& ctx) {
  // An in-memory device has nowhere to keep records.
  if (ctx.device.dir().empty()) return;
  MobileSyncSession session(SyncConfigFor(ctx.device));
  DeviceFaults faults = ctx.device.faults();
  int64_t sent = 0;
  // Sends one message unless a fault cuts the conversation short first; false: stop.
  auto send = [&](Plist msg) {
    if (faults.sync_cut_after >= 0 && sent >= faults.sync_cut_after) return false;
    if (faults.sync_cancel_after >= 0 && sent >= faults.sync_cancel_after) {
      std::string cls = session.open_class();
      session.Abort();
      if (!cls.empty()) {
        Plist cancel = SyncMessage({"SDMessageCancelSession", cls, "The device cancelled the sync"});
        WritePlistFrame(ctx.stream, cancel.get(), true);
      }
      return false;
    }
    ++sent;
    return WritePlistFrame(ctx.stream, msg.get(), true);
  };
  if (!send(session.VersionOffer())) return;
  std::string body;
  for (;;) {
    if (ReadFrame(ctx.stream, kMaxServiceMessage, &body) != FrameStatus::kOk) break;
    Plist msg = ParsePlist(body);
    bool close = false;
    std::vector<Plist> replies = session.Handle(msg.get(), &close);
    bool ok = true;
    for (Plist& r : replies) {
      if (!(ok = send(std::move(r)))) break;
    }
    if (!ok || close) break;
  }
  // Whatever the host did not finish is dropped.
  session.Abort();
}

}  // namespace devsim
