#include "utility/devicelink/devicelink_handshake.h"

#include <memory>
#include <new>
#include <string>

#include "common/big_endian.h"
#include "common/binary_plist.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"

namespace {

// Reads one framed message whole; its content is not needed.
bool SkipMessage(AMDServiceConnectionRef connection) {
  uint8_t header[4];
  if (!ReceiveServiceBytes(connection, header, sizeof header)) return false;
  const uint32_t length = ReadBigEndian32(header);
  if (length > kMaxPlistMessageBytes) return false;
  if (length == 0) return true;
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[length]);
  return bytes && ReceiveServiceBytes(connection, bytes.get(), length);
}

// A device may send other device-link messages (a ping) before it is ready; this many are
// read past before the opening counts as failed.
constexpr int kMaxMessagesBeforeReady = 16;

struct ReadyCheck {
  bool ready = false;
  int seen = 0;
};

void OnReply(void* context, const char* bytes, uint32_t length, int* read_another,
             uint32_t* result) {
  auto& check = *static_cast<ReadyCheck*>(context);
  *result = 0;
  *read_another = ++check.seen < kMaxMessagesBeforeReady ? 1 : 0;
  PlistValue decoded;
  if (!PlistBytesToValue(bytes, length, &decoded) || decoded.tag() != kPlistArray ||
      decoded.array().empty()) {
    return;
  }
  const PlistValue& message = decoded.array()[0];
  if (message.tag() != kPlistArray || message.array().empty() ||
      message.array()[0].tag() != kPlistText) {
    return;
  }
  if (Utf16ToUtf8(message.array()[0].text()) == "DLMessageDeviceReady") {
    check.ready = true;
    *read_another = 0;
  }
}

std::string VersionAnswerXml(int64_t version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\"><array>"
         "<string>DLMessageVersionExchange</string><string>DLVersionsOk</string><integer>" +
         std::to_string(version) + "</integer></array></plist>";
}

}  // namespace

bool DeviceLinkHandshake(AMDServiceConnectionRef connection, int64_t version) {
  if (!SkipMessage(connection)) return false;
  const std::string xml = VersionAnswerXml(version);
  BinaryPlistPtr answer = XmlToBinaryPlist(xml.data(), xml.size());
  if (!answer || !SendPlistMessage(connection, answer.get())) return false;
  ReadyCheck check;
  ReceivePlistMessages(connection, OnReply, &check);
  return check.ready;
}
