#include "utility/module/erase/vado_module_erase.h"

#include <glog/logging.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

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

// One free-space wipe on its worker thread, with everything the worker uses, so that the
// request can be answered while a device write is stuck (the worker ends at its next check).
struct FreeSpaceWipeRun {
  FreeSpaceWipe wipe;
  ServicePtr service;  // keeps the AFC connection for the worker
  TaskPtr task;
  VadoDevicePtr device;
  bas::IPCPacket1 request;  // the request's header fields, for progress messages
  std::atomic<bool> reporting{true};
  std::promise<EraseResult> result;
};

EraseResult VadoModuleErase::WipeFreeSpace(const bas::IPCPacket1& packet, DeviceRequest& begun,
                                           const rapidjson::Value& params) {
  VadoDevice& device = *begun.device;
  DhTask& task = *begun.task;
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
  auto run = std::make_shared<FreeSpaceWipeRun>();
  run->service = service;
  run->task = begun.task;
  run->device = begun.device;
  run->request.task_id = packet.task_id;
  run->request.kind = packet.kind;
  run->request.command_id = packet.command_id;
  run->request.connection = packet.connection;
  run->wipe.afc = service->afc();
  run->wipe.task = run->task.get();
  run->wipe.level = LevelOf(params);
  run->wipe.free_bytes = CurrentFreeBytes(service->afc(), device);
  FreeSpaceWipeRun* raw = run.get();  // the callback lives inside the run
  run->wipe.progress = [this, raw](int64_t percent) {
    if (raw->reporting.load()) {
      ReportProgress(raw->request, raw->device.get(), static_cast<double>(percent), 0);
    }
  };
  LOG(INFO) << "free-space wipe: " << run->wipe.free_bytes << " bytes free, level "
            << run->wipe.level;
  std::future<EraseResult> finished = run->result.get_future();
  std::thread([run] { run->result.set_value(RunFreeSpaceWipe(run->wipe)); }).detach();

  using namespace std::chrono_literals;
  while (finished.wait_for(50ms) != std::future_status::ready) {
    if (task.status() != kTaskCancelled) continue;
    // The worker stops before its next 8 MiB write and cleans up; a device that stopped
    // answering must not hold the cancel's answer past the promised two seconds.
    if (finished.wait_for(1500ms) == std::future_status::ready) break;
    run->reporting.store(false);
    LOG(WARNING) << "free-space wipe: the device is slow to stop; answering the cancel first";
    return {kEraseCancelled, kEraseCancelledText};
  }
  return finished.get();
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
      result = WipeFreeSpace(packet, *begun, params);
    } else {
      result = RunPrivateDataWipe(*this, packet, *begun->device, *begun->task, params);
    }
  }
  const std::string uuid = begun->header.uuid;
  begun->ForgetTask();
  Reply(packet, uuid, result.code, "{\"error\":" + JsonQuote(result.message) + "}");
  return 0;
}
