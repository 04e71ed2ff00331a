#include "utility/module/itunes/backup_conversation.h"

#include <cmath>

#include "common/plist_message.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/devicelink/devicelink_handshake.h"
#include "utility/module/vado_module.h"

namespace {

void TakeProgress(ReaderContext& context) {
  double progress = 0;
  if (MessageProgress(context.message, &progress) && std::isfinite(progress)) {
    context.progress = progress;
  }
}

void TakeError(ReaderContext& context) {
  if (context.message.items.size() < 2 || context.message.items[1].tag() != kPlistDictionary) {
    return;
  }
  const CIOSDictionary* dict = context.message.items[1].dictionary();
  const PlistValue* code = dict->Find("ErrorCode");
  if (code == nullptr) return;
  if (code->tag() == kPlistInt64) context.error_code = static_cast<int32_t>(code->int64());
  else if (code->tag() == kPlistInt32) context.error_code = code->int32();
  else return;
  context.error = true;
  const PlistValue* text = dict->Find("ErrorDescription");
  context.error_text = text ? TextOf(*text) : std::string();
}

struct ReadRequest {
  ReaderContext* context;
  AMDServiceConnectionRef connection;
  MessageEffects effects;
};

void OnMessage(void* opaque, const char* bytes, uint32_t length, int* read_another,
               uint32_t* result) {
  *read_another = 0;
  *result = 0;
  auto* request = static_cast<ReadRequest*>(opaque);
  ReaderContext& context = *request->context;
  context.received = true;
  context.message = DeviceLinkMessage();
  context.reply_code = 0;
  context.reply_text.clear();
  if (!ParseDeviceLinkMessage(bytes, length, &context.message)) return;
  TakeProgress(context);
  if (context.message.code == kDLProcessMessage) TakeError(context);
  if (request->effects != nullptr) {
    request->effects(context, request->connection);
    return;
  }
  if (context.message.code == kDLDownloadFiles) {
    context.requested.clear();
    const auto& items = context.message.items;
    if (items.size() > 1 && items[1].tag() == kPlistArray) {
      for (const PlistValue& item : items[1].array()) context.requested.push_back(TextOf(item));
    }
  }
}

}  // namespace

std::string TextOf(const PlistValue& value) {
  return value.tag() == kPlistText ? Utf16ToUtf8(value.text()) : std::string();
}

ServicePtr StartBackupService(VadoDevice& device) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  CFMutableDictionaryRef options = fun.CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
  if (options == nullptr) return nullptr;
  fun.CFDictionaryAddValue(options, fun.__CFStringMakeConstantString("UnlockEscrowBag"),
                           *fun.kCFBooleanTrue);
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kBackupServiceName, options, false);
  fun.CFRelease(options);
  return service;
}

bool ReadMessage(AMDServiceConnectionRef connection, ReaderContext& context,
                 MessageEffects effects) {
  ReadRequest request{&context, connection, effects};
  context.received = false;
  ReceivePlistMessages(connection, OnMessage, &request);
  return context.received;
}

bool Handshake(AMDServiceConnectionRef connection, ReaderContext& context) {
  constexpr int64_t kBackupLinkVersion = 300;
  if (!DeviceLinkHandshake(connection, kBackupLinkVersion)) return false;
  if (!SendXmlMessage(connection, HelloRequest())) return false;
  ReadMessage(connection, context, nullptr);
  context.progress = 0;
  context.error = false;
  return true;
}

void ReportRunProgress(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                       const ReaderContext& context, int64_t* last) {
  const int64_t value = static_cast<int64_t>(std::trunc(context.progress * 100));
  if (value > *last) {
    *last = value;
    module.ReportProgress(request, &device, static_cast<double>(value), 1);
  }
}
