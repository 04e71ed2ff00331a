#include "services/backup/device_link.h"

#include "plist/plist_frame.h"

namespace devsim {

Plist DlMessage(const char* name) {
  Plist a = NewArray();
  plist_array_append_item(a.get(), plist_new_string(name));
  return a;
}

void DlAppend(plist_t array, Plist item) { plist_array_append_item(array, item.release()); }
void DlAppendString(plist_t array, std::string_view s) {
  plist_array_append_item(array, plist_new_string(std::string(s).c_str()));
}
void DlAppendReal(plist_t array, double value) {
  plist_array_append_item(array, plist_new_real(value));
}
void DlAppendUint(plist_t array, uint64_t value) {
  plist_array_append_item(array, plist_new_uint(value));
}

std::optional<int64_t> SignedValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t v = 0;
  plist_get_uint_val(node, &v);
  return static_cast<int64_t>(v);
}

bool DeviceLink::Send(plist_t message) { return WritePlistFrame(stream_, message, true); }

bool DeviceLink::SendProcessMessage(plist_t dict) {
  Plist m = DlMessage("DLMessageProcessMessage");
  DlAppend(m.get(), Copy(dict));
  return Send(m.get());
}

bool DeviceLink::SendDisconnect() {
  Plist m = DlMessage("DLMessageDisconnect");
  DlAppendString(m.get(), kDlEmpty);
  return Send(m.get());
}

DlRead DeviceLink::Read(Plist* message, std::string* name) {
  std::string body;
  FrameStatus st = ReadFrame(stream_, kMaxServiceMessage, &body);
  if (st == FrameStatus::kClosed) return DlRead::kClosed;
  if (st != FrameStatus::kOk) return DlRead::kBad;
  Plist m = ParsePlist(body);
  if (!m || plist_get_node_type(m.get()) != PLIST_ARRAY || plist_array_get_size(m.get()) < 1) {
    return DlRead::kBad;
  }
  auto n = StringValue(plist_array_get_item(m.get(), 0));
  if (!n) return DlRead::kBad;
  *name = *n;
  *message = std::move(m);
  return DlRead::kOk;
}

bool DeviceLink::Handshake(uint64_t major, uint64_t minor) {
  Plist offer = DlMessage("DLMessageVersionExchange");
  DlAppendUint(offer.get(), major);
  DlAppendUint(offer.get(), minor);
  if (!Send(offer.get())) return false;
  Plist reply;
  std::string name;
  if (Read(&reply, &name) != DlRead::kOk || name != "DLMessageVersionExchange") return false;
  // Hosts answer with their own version number; any number is accepted.
  if (StringValue(plist_array_get_item(reply.get(), 1)) != std::optional<std::string>("DLVersionsOk")) {
    return false;
  }
  return Send(DlMessage("DLMessageDeviceReady").get());
}

bool DeviceLink::ReadStatus(DlStatus* status, std::string* name) {
  Plist m;
  name->clear();
  if (Read(&m, name) != DlRead::kOk) return false;
  if (*name != "DLMessageStatusResponse") return false;
  uint32_t n = plist_array_get_size(m.get());
  status->code = n > 1 ? SignedValue(plist_array_get_item(m.get(), 1)).value_or(-1) : -1;
  std::string text = n > 2 ? StringValue(plist_array_get_item(m.get(), 2)).value_or("") : "";
  status->text = text == kDlEmpty ? "" : text;
  status->value = n > 3 ? Copy(plist_array_get_item(m.get(), 3)) : nullptr;
  return true;
}

}  // namespace devsim
