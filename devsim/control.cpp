#include "control.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte_stream.h"
#include "daemon.h"
#include "usbmux_wire.h"

namespace devsim {
namespace {

Plist Reply(uint64_t number, const std::string& message) {
  Plist r = NewDict();
  SetString(r.get(), "MessageType", "Result");
  SetUint(r.get(), "Number", number);
  SetString(r.get(), "Message", message);
  return r;
}

Plist ListDevices(Daemon& daemon) {
  Plist devices = NewArray();
  for (const std::string& udid : daemon.farm().DeviceUdids()) {
    Plist d = NewDict();
    SetString(d.get(), "UDID", udid);
    AttachedDevice a;
    bool attached = daemon.table().FindByUdid(udid, &a);
    SetBool(d.get(), "Attached", attached);
    if (attached) SetUint(d.get(), "DeviceID", a.id);
    if (auto dev = daemon.table().Known(udid)) {
      SetString(d.get(), "ConnectionType", dev->wifi() ? "Network" : "USB");
      SetBool(d.get(), "Locked", dev->locked());
      SetBool(d.get(), "TrustPending", dev->TrustPromptPending());
      SetString(d.get(), "DeviceName", dev->RootString("DeviceName").value_or(""));
    }
    plist_array_append_item(devices.get(), d.release());
  }
  Plist r = Reply(0, "");
  SetNode(r.get(), "Devices", std::move(devices));
  return r;
}

}  // namespace

Plist HandleControl(Daemon& daemon, plist_t request) {
  std::string cmd = DictString(request, "Command").value_or("");
  std::string udid = DictString(request, "UDID").value_or("");
  if (cmd == "list") return ListDevices(daemon);
  if (cmd == "plug") {
    std::string error;
    if (!daemon.table().Attach(udid, &error)) return Reply(1, error);
    return Reply(0, "attached " + udid);
  }
  auto dev = daemon.table().Known(udid);
  if (!dev) return Reply(2, "unknown device: " + udid);
  if (cmd == "unplug") {
    if (!daemon.table().Detach(udid)) return Reply(1, "not attached: " + udid);
    daemon.DropDeviceConnections(udid);
    return Reply(0, "detached " + udid);
  }
  if (cmd == "trust" || cmd == "deny") {
    bool trust = cmd == "trust";
    bool answered = dev->AnswerTrust(trust);
    AttachedDevice a;
    if (trust && answered && daemon.table().FindByUdid(udid, &a)) daemon.table().NotifyPaired(a.id);
    return Reply(0, answered ? (trust ? "trusted" : "denied")
                             : (trust ? "will trust the next prompt" : "will deny the next prompt"));
  }
  if (cmd == "lock" || cmd == "unlock") {
    dev->SetLocked(cmd == "lock");
    return Reply(0, cmd == "lock" ? "locked" : "unlocked");
  }
  if (cmd == "stats") {
    Plist r = Reply(0, "handshakes " + std::to_string(dev->handshakes()));
    SetUint(r.get(), "Handshakes", dev->handshakes());
    return r;
  }
  if (cmd == "fault") {
    std::string name = DictString(request, "Name").value_or("");
    uint64_t raw = DictUint(request, "Arg").value_or(0);
    int64_t arg = DictItem(request, "Arg") ? static_cast<int64_t>(raw) : 0;
    std::string text = DictString(request, "Text").value_or("");
    if (!dev->SetFault(name, arg, text)) return Reply(1, "unknown fault or bad argument: " + name);
    return Reply(0, "fault " + name + " set");
  }
  return Reply(1, "unknown command: " + cmd);
}

namespace {

bool ParseInt(const std::string& s, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

Plist Exchange(const std::string& socket_path, plist_t request, std::string* error) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long";
    close(fd);
    return nullptr;
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot connect to " + socket_path + ": " + strerror(errno);
    close(fd);
    return nullptr;
  }
  SocketStream s(fd);
  Plist reply;
  uint8_t raw[usbmux::kHeaderSize];
  usbmux::Header h;
  if (s.WriteAll(usbmux::EncodePlistPacket(1, request)) && s.ReadExact(raw, sizeof raw) &&
      usbmux::DecodeHeader(raw, &h) == usbmux::HeaderError::kNone) {
    std::string body(h.length - usbmux::kHeaderSize, '\0');
    if (s.ReadExact(body.data(), body.size())) reply = ParsePlist(body);
  }
  close(fd);
  if (!reply) *error = "no reply from the simulator";
  return reply;
}

}  // namespace

int RunControlCommand(const std::string& socket_path, const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fprintf(stderr, "vado-devsim: missing command\n");
    return 2;
  }
  const std::string& cmd = args[0];
  Plist req = NewDict();
  SetString(req.get(), "MessageType", kControlMessageType);
  SetString(req.get(), "Command", cmd);
  if (cmd != "list") {
    if (args.size() < 2) {
      std::fprintf(stderr, "vado-devsim: %s needs a UDID\n", cmd.c_str());
      return 2;
    }
    SetString(req.get(), "UDID", args[1]);
  }
  if (cmd == "fault") {
    if (args.size() < 3) {
      std::fprintf(stderr, "vado-devsim: fault needs a name\n");
      return 2;
    }
    SetString(req.get(), "Name", args[2]);
    if (args.size() > 3) {
      int64_t arg = 0;
      if (!ParseInt(args[3], &arg)) {
        std::fprintf(stderr, "vado-devsim: fault argument is not a number: %s\n", args[3].c_str());
        return 2;
      }
      SetUint(req.get(), "Arg", static_cast<uint64_t>(arg));
    }
    // Faults that need words (an error text, a path) take them after the number.
    if (args.size() > 4) {
      std::string text = args[4];
      for (size_t i = 5; i < args.size(); ++i) text += " " + args[i];
      SetString(req.get(), "Text", text);
    }
  }
  std::string error;
  Plist reply = Exchange(socket_path, req.get(), &error);
  if (!reply) {
    std::fprintf(stderr, "vado-devsim: %s\n", error.c_str());
    return 1;
  }
  uint64_t number = DictUint(reply.get(), "Number").value_or(1);
  if (plist_t devices = DictItem(reply.get(), "Devices")) {
    for (uint32_t i = 0; i < plist_array_get_size(devices); ++i) {
      plist_t d = plist_array_get_item(devices, i);
      bool attached = DictBool(d, "Attached").value_or(false);
      std::printf("%s\t%s\t%s\t%s%s%s\n", DictString(d, "UDID").value_or("").c_str(),
                  attached ? "attached" : "detached",
                  DictString(d, "ConnectionType").value_or("-").c_str(),
                  DictBool(d, "Locked").value_or(false) ? "locked" : "unlocked",
                  DictBool(d, "TrustPending").value_or(false) ? "\ttrust-pending" : "",
                  ("\t" + DictString(d, "DeviceName").value_or("")).c_str());
    }
  } else {
    std::printf("%s\n", DictString(reply.get(), "Message").value_or("").c_str());
  }
  return number == 0 ? 0 : 1;
}

}  // namespace devsim
