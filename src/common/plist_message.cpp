#include "common/plist_message.h"

#include <memory>
#include <new>

#include "common/big_endian.h"
#include "iOSAPI/MobileExportFun.h"

// The library may move fewer bytes per call than asked; these loop until done.
bool SendServiceBytes(AMDServiceConnectionRef connection, const uint8_t* data, size_t size) {
  auto& fun = CMobileExportFun::GetInstance();
  while (size > 0) {
    const int sent = fun.AMDServiceConnectionSend(connection, data, size);
    if (sent <= 0 || static_cast<size_t>(sent) > size) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveServiceBytes(AMDServiceConnectionRef connection, uint8_t* data, size_t size) {
  auto& fun = CMobileExportFun::GetInstance();
  while (size > 0) {
    const int got = fun.AMDServiceConnectionReceive(connection, data, size);
    if (got < 1 || static_cast<size_t>(got) > size) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool SendPlistMessage(AMDServiceConnectionRef connection, const BinaryPlist* message) {
  if (!CMobileExportFun::GetInstance().IsLoaded() || !message || !message->bytes) return false;
  const uint32_t n = message->length;
  uint8_t header[4];
  WriteBigEndian32(n, header);
  return SendServiceBytes(connection, header, sizeof header) &&
         SendServiceBytes(connection, message->bytes, message->length);
}

uint32_t ReceivePlistMessages(AMDServiceConnectionRef connection, PlistReplyHandler handler,
                              void* context) {
  uint32_t result = 0;
  if (!CMobileExportFun::GetInstance().IsLoaded() || !handler) return result;
  for (;;) {
    uint8_t header[4];
    if (!ReceiveServiceBytes(connection, header, sizeof header)) break;
    const uint32_t length = ReadBigEndian32(header);
    if (length < 1 || length > kMaxPlistMessageBytes) break;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]);
    if (!buffer || !ReceiveServiceBytes(connection, buffer.get(), length)) break;
    int read_another = 0;
    handler(context, reinterpret_cast<const char*>(buffer.get()), length, &read_another, &result);
    if (!read_another) break;
  }
  return result;
}

uint32_t ExchangePlistMessages(AMDServiceConnectionRef connection, const BinaryPlist* message,
                               PlistReplyHandler handler, void* context) {
  SendPlistMessage(connection, message);
  return ReceivePlistMessages(connection, handler, context);
}
