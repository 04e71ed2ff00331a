#include "services/backup/notification_service.h"

#include <set>

#include "plist/plist_frame.h"

namespace devsim {
namespace {

constexpr uint32_t kMaxNotificationMessage = 64 * 1024;
constexpr size_t kMaxObserved = 256;

}  // namespace

void ServeNotificationProxy(ServiceContext& ctx) {
  std::set<std::string> observed;
  std::string body;
  for (;;) {
    if (ReadFrame(ctx.stream, kMaxNotificationMessage, &body) != FrameStatus::kOk) return;
    Plist msg = ParsePlist(body);
    std::string command = DictString(msg.get(), "Command").value_or("");
    if (command == "ObserveNotification") {
      auto name = DictString(msg.get(), "Name");
      if (name && observed.size() < kMaxObserved) observed.insert(*name);
    } else if (command == "Shutdown") {
      Plist reply = NewDict();
      SetString(reply.get(), "Command", "ProxyDeath");
      WritePlistFrame(ctx.stream, reply.get());
      return;
    }
    // PostNotification and anything else: accepted without an answer, as the device does.
  }
}

}  // namespace devsim
