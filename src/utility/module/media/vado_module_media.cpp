#include "utility/module/media/vado_module_media.h"

#include <string>

#include "common/text_convert.h"
#include "utility/module/media/media_books.h"

int64_t VadoModuleMedia::HandleRequest(const bas::IPCPacket1& packet) {
  // A header that is not JSON gets no reply.
  if (!ParseRequestHeader(packet).valid) return kResultBadBody;
  std::unique_ptr<DeviceRequest> begun = BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOnly);
  if (!begun) return 0;
  VadoDevice& device = *begun->device;
  DhTask& task = *begun->task;
  const std::string udid = Utf16ToUtf8(device.unique_device_id);
  int64_t code = kResultOk;
  std::optional<std::string> info;
  if (begun->header.section_count == 1) {
    std::string added;
    switch (packet.command_id) {
      case 1001:
        code = HandleBooksAndRingtones(*this, packet, device, task);
        break;
      case 1012:
        code = HandleAddBook(begun->header, device, task, &added);
        break;
      case 1013:
        code = HandleRemoveBook(begun->header, device, task);
        break;
      default:
        break;
    }
    if (!added.empty()) info = added;
  }
  if (code == kResultCancelled) info = "{\"error\":\"Task cancelled.\"}";
  begun->ForgetTask();
  Reply(packet, udid, code, info);
  return 0;
}
