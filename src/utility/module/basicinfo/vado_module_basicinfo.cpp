#include "utility/module/basicinfo/vado_module_basicinfo.h"

#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/basicinfo/device_figures.h"
#include "utility/module/basicinfo/device_info_values.h"

namespace {

constexpr int64_t kResultNoAfc = 12;
constexpr int64_t kResultNameRefused = 31;

}  // namespace

int64_t VadoModuleBasicInfo::HandleRequest(const bas::IPCPacket1& packet) {
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOrHandle);
  if (!begun) return 0;
  const RequestHeader& request = begun->header;
  const VadoDevicePtr& device = begun->device;
  int64_t code = kResultOk;
  if (request.section_count == 1) {
    switch (packet.command_id) {
      case kReadyCommand:
        if (device->state != kDeviceReady) {
          code = VadoDeviceMonitor::GetInstance().DeviceReady(device);
        }
        break;
      case kInfoCommand:
        code = SendDeviceInfo(packet, *device);
        break;
      case kRenameCommand:
        code = RenameDevice(request, *device);
        break;
      default:
        break;
    }
  }
  Reply(packet, request.uuid, code);
  return 0;
}

int64_t VadoModuleBasicInfo::SendDeviceInfo(const bas::IPCPacket1& packet, VadoDevice& device) {
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc) return kResultNoAfc;

  ReplyRecord record;
  record.uuid = Utf16ToUtf8(device.unique_device_id);

  rapidjson::Document identity(rapidjson::kObjectType);
  AppendDeviceValues(device, &identity, identity.GetAllocator());
  identity.AddMember("IsJailbreak", rapidjson::Value(IsJailbroken(device) ? 1 : 0),
                     identity.GetAllocator());
  std::string text = JsonText(identity);
  record.body = text;
  SendMessage(packet, record, kKindProgress);

  rapidjson::Document figures(rapidjson::kObjectType);
  AppendCycleCount(device, &figures, figures.GetAllocator());
  AppendStorage(device, &figures, figures.GetAllocator());
  text = JsonText(figures);
  record.body = text;
  SendMessage(packet, record, kKindProgress);
  return kResultOk;
}

int64_t VadoModuleBasicInfo::RenameDevice(const RequestHeader& request, VadoDevice& device) {
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body)) return kResultBadBody;
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc) return kResultNoAfc;


  // Without a text "name" there is nothing to set; writing "" would wipe the name.
  if (!body.IsObject()) return kResultBadBody;
  auto member = body.FindMember("name");
  if (member == body.MemberEnd() || !member->value.IsString()) return kResultBadBody;
  std::string name(member->value.GetString(), member->value.GetStringLength());
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  CFStringRef value = fun.CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
  if (value == nullptr) return kResultNameRefused;
  int result = fun.AMDeviceSetValue(device.device, nullptr,
                                    fun.__CFStringMakeConstantString("DeviceName"), value);
  fun.CFRelease(value);
  return result != 0 ? kResultNameRefused : kResultOk;
}
