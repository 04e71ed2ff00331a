#include "services/sync/sync_session.h"

#include <cstdio>

namespace devsim {
namespace {

constexpr const char* kOutOfDate = "Your computer's software is out of date. Please update and try again!";

std::optional<std::string> Element(plist_t msg, uint32_t i) {
  if (plist_array_get_size(msg) <= i) return std::nullopt;
  return StringValue(plist_array_get_item(msg, i));
}

}  // namespace

Plist SyncMessage(std::initializer_list<std::string> parts) {
  Plist msg = NewArray();
  for (const std::string& p : parts) plist_array_append_item(msg.get(), plist_new_string(p.c_str()));
  return msg;
}

MobileSyncSession::MobileSyncSession(SyncSessionConfig config) : config_(std::move(config)) {
  if (!config_.clock) config_.clock = [] { return std::time(nullptr); };
}

Plist MobileSyncSession::VersionOffer() const {
  Plist msg = SyncMessage({"DLMessageVersionExchange"});
  plist_array_append_item(msg.get(), plist_new_uint(config_.settings.version_major));
  plist_array_append_item(msg.get(), plist_new_uint(config_.settings.version_minor));
  return msg;
}

std::string MobileSyncSession::open_class() const { return open_ ? open_->info->name : ""; }

void MobileSyncSession::Abort() {
  open_.reset();
  if (state_ != State::kAwaitVersion) state_ = State::kIdle;
}

std::string MobileSyncSession::NewDeviceAnchor(const SyncClassInfo& cls) const {
  if (cls.id == SyncClassId::kBookmarks) return "Bookmarks-Device-Anchor";
  std::time_t now = config_.clock();
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%b %d %Y %H:%M:%S +0000", &tm);
  return buf;
}

std::vector<Plist> MobileSyncSession::Handle(plist_t msg, bool* close) {
  *close = false;
  std::vector<Plist> out;
  auto name = msg && plist_get_node_type(msg) == PLIST_ARRAY ? Element(msg, 0) : std::nullopt;
  if (!name) {
    // Not a DeviceLink message at all: the host is not speaking this protocol.
    *close = true;
    return out;
  }
  if (*name == "DLMessageDisconnect") {
    Abort();
    *close = true;
    return out;
  }
  if (*name == "DLMessagePing") return out;  // a courtesy; never answered
  if (state_ == State::kAwaitVersion) {
    // Whatever version the host names is fine; anything but DLVersionsOk ends the link.
    if (*name == "DLMessageVersionExchange" && Element(msg, 1) == "DLVersionsOk") {
      state_ = State::kIdle;
      out.push_back(SyncMessage({"DLMessageDeviceReady"}));
    } else {
      *close = true;
    }
    return out;
  }
  if (*name == "SDMessageSyncDataClassWithDevice") return OpenDataClass(msg, close);
  // Everything else concerns the open class and names it in element 1.
  if (!open_ || Element(msg, 1) != std::string(open_->info->name)) return out;
  if (*name == "SDMessageGetAllRecordsFromDevice") return StartPull(true);
  if (*name == "SDMessageGetChangesFromDevice") return StartPull(false);
  if (*name == "SDMessageAcknowledgeChangesFromDevice") {
    if (state_ != State::kSending) return out;
    if (open_->next_batch < open_->batches.size()) {
      out.push_back(NextBatch());
    } else {
      open_->batches.clear();
      state_ = State::kReceiving;
      out.push_back(SyncMessage({"SDMessageDeviceReadyToReceiveChanges", open_->info->name}));
    }
    return out;
  }
  if (*name == "SDMessageProcessChanges") return ApplyPush(msg);
  if (*name == "SDMessageFinishSessionOnDevice") return Finish();
  if (*name == "SDMessageCancelSession") {
    Abort();
    return out;
  }
  if (*name == "SDMessageClearAllRecordsOnDevice") {
    open_->work->ClearAll();
    open_->batches.clear();
    state_ = State::kOpen;
    out.push_back(SyncMessage({"SDMessageDeviceWillClearAllRecords", open_->info->name}));
  }
  return out;
}

std::vector<Plist> MobileSyncSession::OpenDataClass(plist_t msg, bool* close) {
  std::vector<Plist> out;
  // A class still open is given up, as if the host had cancelled it.
  Abort();
  std::string cls_name = Element(msg, 1).value_or("");
  const SyncClassInfo* cls = FindSyncClass(cls_name);
  auto refuse = [&](const std::string& reason) {
    out.push_back(SyncMessage({"SDMessageRefuseToSyncDataClassWithComputer", cls_name, reason}));
    *close = true;
    return std::move(out);
  };
  if (!cls) return refuse("The data class " + cls_name + " is not supported by this device");
  if (config_.refused_classes.count(cls->key)) {
    return refuse(std::string("Syncing ") + cls->key + " with this computer is turned off");
  }
  plist_t version = plist_array_get_size(msg) > 4 ? plist_array_get_item(msg, 4) : nullptr;
  if (version && plist_get_node_type(version) == PLIST_UINT) {
    uint64_t v = 0;
    plist_get_uint_val(version, &v);
    if (v < cls->min_host_version) return refuse(kOutOfDate);
  }
  auto open = std::make_unique<OpenClass>();
  open->info = cls;
  open->store = SyncStore::Open(SyncStoreFile(config_.sync_dir, *cls));
  open->work = std::make_unique<SyncWorkingCopy>(*cls, open->store);
  SyncAnchors stored = open->store->Anchors();
  // Reset when the device has never synced this class, slow when the host's idea of the
  // device anchor differs from the device's, fast otherwise.
  std::string host_device_anchor = Element(msg, 2).value_or("");
  const char* type = stored.device.empty()                    ? "SDSyncTypeReset"
                     : host_device_anchor != stored.device    ? "SDSyncTypeSlow"
                                                              : "SDSyncTypeFast";
  open->anchors.device = NewDeviceAnchor(*cls);
  open->anchors.computer = Element(msg, 3).value_or("");
  Plist reply = SyncMessage({"SDMessageSyncDataClassWithComputer", cls->name,
                             stored.computer.empty() ? "---" : stored.computer,
                             open->anchors.device, type});
  plist_array_append_item(reply.get(), plist_new_uint(cls->device_version));
  out.push_back(std::move(reply));
  open_ = std::move(open);
  state_ = State::kOpen;
  return out;
}

std::vector<Plist> MobileSyncSession::StartPull(bool full) {
  const SyncClassInfo& cls = *open_->info;
  // A class synced over the air keeps its records in the cloud: the device sends none.
  bool cloud = config_.cloud_classes.count(cls.key) > 0;
  Plist none = NewDict();
  plist_t records = cloud ? none.get() : open_->work->records();
  open_->full_pull = full;
  open_->next_batch = 0;
  if (full) {
    open_->batches = PlanFullPull(cls, records, config_.settings.BatchSize(cls));
  } else {
    std::map<std::string, std::string> pending;
    if (!cloud) pending = open_->store->Pending();
    open_->batches = PlanChangesPull(cls, records, pending);
  }
  state_ = State::kSending;
  std::vector<Plist> out;
  out.push_back(NextBatch());
  return out;
}

Plist MobileSyncSession::NextBatch() {
  const SyncBatch& b = open_->batches[open_->next_batch++];
  if (!open_->full_pull) {
    for (const std::string& id : DictKeys(b.records.get())) open_->delivered.push_back(id);
  }
  bool more = open_->next_batch < open_->batches.size();
  return ProcessChangesMessage(*open_->info, b, more, open_->full_pull);
}

std::vector<Plist> MobileSyncSession::ApplyPush(plist_t msg) {
  // A push also stands for the acknowledgements the host skipped: the device stops sending.
  open_->batches.clear();
  state_ = State::kReceiving;
  plist_t records = plist_array_get_size(msg) > 2 ? plist_array_get_item(msg, 2) : nullptr;
  Plist remap = open_->work->ApplyPush(records, config_.settings.echo_modified_remaps);
  Plist reply = SyncMessage({"SDMessageRemapRecordIdentifiers", open_->info->name});
  if (plist_dict_get_size(remap.get()) > 0) {
    plist_array_append_item(reply.get(), remap.release());
  } else {
    plist_array_append_item(reply.get(), plist_new_string(kEmptyParameter));
  }
  std::vector<Plist> out;
  out.push_back(std::move(reply));
  return out;
}

std::vector<Plist> MobileSyncSession::Finish() {
  std::vector<Plist> out;
  std::string cls_name = open_->info->name;
  std::string error;
  // The working copy lets go of the store's records first, so the commit can change them
  // in place instead of copying them.
  std::vector<SyncOp> ops = open_->work->TakeOps();
  open_->work.reset();
  bool ok = open_->store->Commit(ops, &open_->anchors, open_->delivered, &error);
  open_.reset();
  state_ = State::kIdle;
  if (!ok) {
    std::fprintf(stderr, "vado-devsimd: mobilesync: %s\n", error.c_str());
    out.push_back(SyncMessage({"SDMessageCancelSession", cls_name, "The device could not save the changes"}));
    return out;
  }
  out.push_back(SyncMessage({"SDMessageDeviceFinishedSession", cls_name}));
  return out;
}

}  // namespace devsim
