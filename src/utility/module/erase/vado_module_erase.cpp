#include "utility/module/erase/vado_module_erase.h"

#include <glog/logging.h>

#include "common/afc_file_ops.h"
#include "common/json_text.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/erase/free_space_wipe.h"
#include "utility/module/erase/private_data_wipe.h"

namespace {

// The partition's free bytes as the device tells them now; the figure recorded when the
// device arrived is used when the device cannot say (files stored since make it stale).
int64_t CurrentFreeBytes(AFCConnectionRef afc, const VadoDevice& device) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  AFCDictionaryRef info = nullptr;
  int64_t free_bytes = -1;
  if (fun.AFCDeviceInfoOpen(afc, &info) == 0 && info != nullptr) {
    char* key = nullptr;
    char* value = nullptr;
    while (fun.AFCKeyValueRead(info, &key, &value) == 0 && key != nullptr && value != nullptr) {
      if (std::string(key) != "FSFreeBytes") continue;
      char* end = nullptr;
      long long parsed = std::strtoll(value, &end, 10);
      if (end != value && parsed >= 0) free_bytes = parsed;
    }
    fun.AFCKeyValueClose(info);
  }
  return free_bytes >= 0 ? free_bytes : device.free_bytes.load();
}

int64_t LevelOf(const rapidjson::Value& params) {
  auto found = params.FindMember("level");
  if (found == params.MemberEnd()) return 0;
  if (found->value.IsInt64()) return found->value.GetInt64();
  return 0;
}

}  // namespace

EraseResult VadoModuleErase::WipeFreeSpace(const bas::IPCPacket1& packet, VadoDevice& device,
                                           DhTask& task, const rapidjson::Value& params) {
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!service || service->afc() == nullptr) return {kEraseNoFileService, "open afc error"};
  if (!MakeDirectory(service->afc(), kWipeFolder)) {
    return {kEraseNoTempFolder, "mkdir /iostemp fail."};
  }
  if (IsCancelled(task)) {
    // Cancelled before the first write: nothing was done, and the folder goes again.
    RemoveTree(service->afc(), kWipeFolder, true);
    return {kEraseCancelled, kEraseCancelledText};
  }
  FreeSpaceWipe wipe;
  wipe.afc = service->afc();
  wipe.task = &task;
  wipe.level = LevelOf(params);
  wipe.free_bytes = CurrentFreeBytes(service->afc(), device);
  wipe.progress = [&](int64_t percent) {
    ReportProgress(packet, &device, static_cast<double>(percent), 0);
  };
  LOG(INFO) << "free-space wipe: " << wipe.free_bytes << " bytes free, level " << wipe.level;
  return RunFreeSpaceWipe(wipe);
}

int64_t VadoModuleErase::HandleRequest(const bas::IPCPacket1& packet) {
  std::unique_ptr<DeviceRequest> begun = BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOnly);
  if (!begun) return 0;
  const uint32_t command = packet.command_id;
  EraseResult result;
  if ((command == kPrivateDataWipeCommand || command == kFreeSpaceWipeCommand) &&
      begun->header.section_count == 1) {
    rapidjson::Document params;
    if (!ParseRequestBody(begun->header, &params) || !params.IsObject()) {
      result.code = kEraseBadBody;
    } else if (command == kFreeSpaceWipeCommand) {
      result = WipeFreeSpace(packet, *begun->device, *begun->task, params);
    } else {
      result = RunPrivateDataWipe(*this, packet, *begun->device, *begun->task, params);
    }
  }
  const std::string uuid = begun->header.uuid;
  begun->ForgetTask();
  Reply(packet, uuid, result.code, "{\"error\":" + JsonQuote(result.message) + "}");
  return 0;
}
