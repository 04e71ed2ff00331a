// DeviceLink, the message layer of the backup and sync services: big-endian framed property
// lists whose root is an array naming the message in element 0, plus the raw file stream that
// the backup service interleaves with them (see backup_stream.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mux/byte_stream.h"
#include "plist/plist_ptr.h"

namespace devsim {

// Stands for "no value" in every DeviceLink message.
constexpr const char* kDlEmpty = "___EmptyParameterString___";

enum class DlRead { kOk, kClosed, kBad };

// A host's answer to one device request.
struct DlStatus {
  int64_t code = 0;  // 0 success, negative errors (-13: element 3 is a per-path dictionary)
  std::string text;  // empty when the host sent the empty-parameter string
  Plist value;       // element 3 as sent (dictionary, integer or string), may be null
};

class DeviceLink {
 public:
  explicit DeviceLink(ByteStream& stream) : stream_(stream) {}
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  ByteStream& stream() { return stream_; }

  // Offers major.minor, accepts any DLVersionsOk number, answers DLMessageDeviceReady.
  bool Handshake(uint64_t major, uint64_t minor);

  // Sends an array message as a binary property list in one write.
  bool Send(plist_t message);
  bool SendProcessMessage(plist_t dict);
  bool SendDisconnect();

  // Reads one message: kOk with an array whose element 0 is a string (its name), kClosed when
  // the host closed between messages, kBad for anything malformed or cut short.
  DlRead Read(Plist* message, std::string* name);

  // Reads the answer to a request. False when the host disconnected, closed or sent anything
  // other than a status response; `name` then holds what arrived (empty for a broken link).
  bool ReadStatus(DlStatus* status, std::string* name);

 private:
  ByteStream& stream_;
};

// Builds ["name", items...]; the items are moved into the array.
Plist DlMessage(const char* name);
void DlAppend(plist_t array, Plist item);
void DlAppendString(plist_t array, std::string_view s);
void DlAppendReal(plist_t array, double value);
void DlAppendUint(plist_t array, uint64_t value);

// A signed integer as the hosts send it: libplist keeps -13 as 2^64 - 13.
std::optional<int64_t> SignedValue(plist_t node);

}  // namespace devsim
