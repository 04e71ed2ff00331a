#include "utility/ios/usbmux_serial.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/plist_reader.h"
#include "common/text_convert.h"

namespace {

// Message header: length (header included), version 1 (property lists), message 8
// (property list), tag; all little-endian 32-bit.
constexpr size_t kHeaderSize = 16;
constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kPlistMessage = 8;
// A device list is small; anything larger is not an answer to trust.
constexpr uint32_t kMaxReply = 1 << 20;

constexpr char kRequest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"
    "<plist version=\"1.0\"><dict>"
    "<key>ClientVersionString</key><string>VadoAgent</string>"
    "<key>MessageType</key><string>ListDevices</string>"
    "<key>ProgName</key><string>VadoAgent</string>"
    "<key>kLibUSBMuxVersion</key><integer>3</integer>"
    "</dict></plist>";

using Clock = std::chrono::steady_clock;

void PutLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  int ready = ::poll(&p, 1, RemainingMs(deadline));
  return ready == 1 && (p.revents & events) != 0;
}

bool SendAll(int fd, const uint8_t* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    if (!WaitFor(fd, POLLIN, deadline)) return false;
    ssize_t got = ::recv(fd, data, size, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

int ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

const PlistValue* Member(const PlistValue& value, const char* key) {
  if (value.tag() != kPlistDictionary || value.dictionary() == nullptr) return nullptr;
  return value.dictionary()->Find(key);
}

bool SerialInList(const PlistValue& top, uint32_t device_id, std::string* serial) {
  const PlistValue* list = Member(top, "DeviceList");
  if (list == nullptr || list->tag() != kPlistArray) return false;
  for (const PlistValue& entry : list->array()) {
    const PlistValue* properties = Member(entry, "Properties");
    if (properties == nullptr) continue;
    const PlistValue* id = Member(*properties, "DeviceID");
    const PlistValue* number = Member(*properties, "SerialNumber");
    if (id == nullptr || number == nullptr || number->tag() != kPlistText) continue;
    if (id->tag() != kPlistInt64 || id->int64() != static_cast<int64_t>(device_id)) continue;
    *serial = Utf16ToUtf8(number->text());
    return true;
  }
  return false;
}

}  // namespace

std::string UsbmuxSocketPath() {
  const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
  if (address == nullptr || *address == '\0') return "/var/run/usbmuxd";
  std::string text = address;
  if (text.rfind("UNIX:", 0) == 0) return text.substr(5);
  // A "host:port" address names a network daemon, which this query does not reach.
  if (text.front() != '/') return std::string();
  return text;
}

bool UsbmuxSerial(uint32_t device_id, std::string* serial, std::chrono::milliseconds deadline) {
  serial->clear();
  if (device_id == 0) return false;
  const Clock::time_point until = Clock::now() + deadline;
  int fd = ConnectUnix(UsbmuxSocketPath());
  if (fd < 0) return false;
  std::vector<uint8_t> request(kHeaderSize + sizeof(kRequest) - 1);
  PutLe32(request.data(), static_cast<uint32_t>(request.size()));
  PutLe32(request.data() + 4, kPlistVersion);
  PutLe32(request.data() + 8, kPlistMessage);
  PutLe32(request.data() + 12, 1);
  std::memcpy(request.data() + kHeaderSize, kRequest, sizeof(kRequest) - 1);
  bool found = false;
  uint8_t header[kHeaderSize];
  if (SendAll(fd, request.data(), request.size(), until) &&
      ReceiveAll(fd, header, sizeof(header), until)) {
    uint32_t length = GetLe32(header);
    if (length > kHeaderSize && length <= kMaxReply && GetLe32(header + 8) == kPlistMessage) {
      std::vector<uint8_t> body(length - kHeaderSize);
      PlistValue parsed;
      if (ReceiveAll(fd, body.data(), body.size(), until) &&
          PlistBytesToValue(body.data(), body.size(), &parsed) && parsed.tag() == kPlistArray &&
          !parsed.array().empty()) {
        found = SerialInList(parsed.array()[0], device_id, serial);
      }
    }
  }
  ::close(fd);
  return found;
}
