#include "services/backup/backup_link.h"

namespace devsim {

bool BackupLink::Fault(double progress) {
  using Action = BackupFaults::Action;
  if (fired_ || faults_.action == Action::kNone || progress < faults_.at_progress) return false;
  fired_ = true;
  ended_ = true;
  switch (faults_.action) {
    case Action::kDisconnect:
      link_.SendDisconnect();
      close_now_ = true;
      break;
    case Action::kDrop:
      close_now_ = true;
      break;
    case Action::kError: {
      Plist d = NewDict();
      SetUint(d.get(), "ErrorCode", static_cast<uint64_t>(faults_.error_code));
      SetString(d.get(), "ErrorDescription", faults_.error_text);
      if (!link_.SendProcessMessage(d.get())) close_now_ = true;
      break;
    }
    case Action::kStall:
      Stall();
      close_now_ = true;
      break;
    case Action::kNone:
      break;
  }
  return true;
}

// A device that stops answering: whatever the host sends is read and dropped until it gives
// up and closes (or the daemon shuts the connection down).
void BackupLink::Stall() {
  char buf[4096];
  while (link_.stream().ReadSome(buf, sizeof buf) > 0) {
  }
}

bool BackupLink::Send(plist_t message, double progress) {
  if (ended_) return false;
  if (Fault(progress)) return false;
  if (!link_.Send(message)) {
    ended_ = close_now_ = true;
    return false;
  }
  return true;
}

bool BackupLink::Status(DlStatus* status) {
  if (ended_) return false;
  std::string name;
  if (link_.ReadStatus(status, &name)) {
    last_code_ = status->code;
    last_text_ = status->text;
    last_value_ = status->value ? Copy(status->value.get()) : Plist();
    return true;
  }
  // A host that hangs up (or breaks the link) ends the conversation.
  ended_ = close_now_ = true;
  return false;
}

bool BackupLink::Ask(plist_t message, double progress, DlStatus* status) {
  return Send(message, progress) && Status(status);
}

bool BackupLink::Download(const std::vector<std::string>& paths, double progress,
                          const SinkFor& sink_for, const Done& done) {
  Plist m = DlMessage("DLMessageDownloadFiles");
  Plist list = NewArray();
  for (const auto& p : paths) plist_array_append_item(list.get(), plist_new_string(p.c_str()));
  DlAppend(m.get(), std::move(list));
  DlAppend(m.get(), NewDict());
  DlAppendReal(m.get(), progress);
  if (!Send(m.get(), progress)) return false;
  StreamReader reader(link_.stream());
  // The host sends at most one record per requested path.
  for (size_t i = 0; i <= paths.size(); ++i) {
    std::string name;
    NameRead nr = reader.ReadName(&name);
    if (nr == NameRead::kEndOfList) {
      DlStatus st;
      return Status(&st);
    }
    if (nr != NameRead::kName || i == paths.size()) break;
    StreamReader::Sink sink = sink_for(name);
    if (!sink) sink = [](const char*, size_t) { return true; };
    std::string error;
    FileRead r = reader.ReadFile(sink, &error);
    if (r == FileRead::kBad) break;
    done(name, r, error);
  }
  ended_ = close_now_ = true;
  return false;
}

bool BackupLink::CreateDirectory(const std::string& path, double progress) {
  Plist m = DlMessage("DLMessageCreateDirectory");
  DlAppendString(m.get(), path);
  DlAppendString(m.get(), kDlEmpty);
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::FreeSpace(double progress, int64_t* bytes) {
  Plist m = DlMessage("DLMessageGetFreeDiskSpace");
  DlAppendString(m.get(), kDlEmpty);
  DlAppendReal(m.get(), progress);
  DlStatus st;
  if (!Ask(m.get(), progress, &st)) return false;
  auto v = SignedValue(st.value.get());
  *bytes = st.code == 0 && v ? *v : -1;
  return true;
}

bool BackupLink::ContentsOfDirectory(const std::string& path, double progress) {
  Plist m = DlMessage("DLContentsOfDirectory");
  DlAppendString(m.get(), path);
  DlAppendString(m.get(), kDlEmpty);
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::Move(const std::vector<std::pair<std::string, std::string>>& moves,
                      double progress, const char* name) {
  Plist m = DlMessage(name);
  Plist pairs = NewDict();
  for (const auto& [from, to] : moves) SetString(pairs.get(), from.c_str(), to);
  DlAppend(m.get(), std::move(pairs));
  DlAppend(m.get(), NewDict());
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::Remove(const std::vector<std::string>& paths, double progress,
                        const char* name) {
  Plist m = DlMessage(name);
  Plist list = NewArray();
  for (const auto& p : paths) plist_array_append_item(list.get(), plist_new_string(p.c_str()));
  DlAppend(m.get(), std::move(list));
  DlAppend(m.get(), NewDict());
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::CopyItem(const std::string& from, const std::string& to, double progress) {
  Plist m = DlMessage("DLMessageCopyItem");
  DlAppendString(m.get(), from);
  DlAppendString(m.get(), to);
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::PurgeDiskSpace(double progress) {
  Plist m = DlMessage("DLMessagePurgeDiskSpace");
  DlAppendString(m.get(), kDlEmpty);
  DlAppendReal(m.get(), progress);
  DlStatus st;
  return Ask(m.get(), progress, &st);
}

bool BackupLink::Finish(int64_t code, const std::string& description) {
  if (ended_) return false;
  Plist d = NewDict();
  SetUint(d.get(), "ErrorCode", static_cast<uint64_t>(code));
  if (!description.empty()) SetString(d.get(), "ErrorDescription", description);
  ended_ = true;
  if (!link_.SendProcessMessage(d.get())) close_now_ = true;
  return !close_now_;
}

}  // namespace devsim
