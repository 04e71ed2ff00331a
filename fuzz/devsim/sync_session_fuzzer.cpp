// mobilesync: a conversation over a small scratch store, opened for the class the first byte
// picks, then fed the input's messages (two-byte big-endian length, property-list bytes).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "services/sync/sync_session.h"

namespace {

const std::filesystem::path& Scratch() {
  static const std::filesystem::path dir = [] {
    char tmpl[] = "/tmp/devsim-sync-fuzz-XXXXXX";
    return std::filesystem::path(mkdtemp(tmpl));
  }();
  return dir;
}

void Reset(const std::filesystem::path& dir) {
  using namespace devsim;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  Plist records = NewDict();
  Plist contact = NewDict();
  SetString(contact.get(), kEntityKey, "com.apple.contacts.Contact");
  SetNode(records.get(), "1", std::move(contact));
  Plist phone = NewDict();
  SetString(phone.get(), kEntityKey, "com.apple.contacts.Phone Number");
  Plist owner = NewArray();
  plist_array_append_item(owner.get(), plist_new_string("1"));
  SetNode(phone.get(), "contact", std::move(owner));
  SetNode(records.get(), "3/1/0", std::move(phone));
  std::string error;
  for (const SyncClassInfo& cls : SyncClasses()) {
    SyncStore::Write(SyncStoreFile(dir, cls), records.get(), 2, &error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace devsim;
  if (size < 1) return 0;
  std::filesystem::path dir = Scratch() / "sync";
  Reset(dir);
  SyncSessionConfig config;
  config.sync_dir = dir;
  config.clock = [] { return std::time_t(1710000000); };
  MobileSyncSession session(std::move(config));
  bool close = false;
  Plist ok = SyncMessage({"DLMessageVersionExchange", "DLVersionsOk"});
  session.Handle(ok.get(), &close);
  const SyncClassInfo& cls = SyncClasses()[data[0] % SyncClasses().size()];
  Plist open = SyncMessage({"SDMessageSyncDataClassWithDevice", cls.name, "---", "now"});
  plist_array_append_item(open.get(), plist_new_uint(106));
  session.Handle(open.get(), &close);
  ++data;
  --size;
  while (size >= 2 && !close) {
    size_t len = size_t(data[0]) << 8 | data[1];
    data += 2;
    size -= 2;
    if (len > size) len = size;
    Plist msg = ParsePlist(std::string_view(reinterpret_cast<const char*>(data), len));
    session.Handle(msg.get(), &close);
    data += len;
    size -= len;
  }
  return 0;
}
