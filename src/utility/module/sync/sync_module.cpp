#include "utility/module/sync/sync_module.h"

#include "common/text_convert.h"
#include "utility/module/sync/data_sync_check.h"

int64_t SyncModule::HandleRequest(const bas::IPCPacket1& packet) {
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOrHandle);
  if (!begun) return 0;
  SyncRequest request{packet, begun->header, begun->device,
                      Utf16ToUtf8(begun->device->unique_device_id), begun->task.get()};
  int64_t code = kResultOk;
  if (!NeedsOneSection(packet.command_id) || begun->header.section_count == 1) code = Run(request);
  begun->ForgetTask();
  Reply(packet, request.uuid, code);
  return 0;
}

ServicePtr SyncModule::StartSyncService(const SyncRequest& request) {
  int32_t error = 0;
  return GetService(request.device->device, &error, kMobileSyncServiceName, nullptr, false);
}

int64_t SyncModule::ReadAll(const SyncRequest& request, const SyncDataClass& data_class,
                            const ReadSteps& steps) {
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  if (steps.started) steps.started(service);
  SyncSession session(service->connection(), data_class, request.task);
  steps.pull(session);
  service.reset();
  // A read cut short sends nothing: a partial list would look complete.
  if (const int64_t outcome = session.Outcome(false); outcome != kResultOk) return outcome;
  const bool kept_elsewhere =
      steps.empty() && DataSyncDomainHasEntries(request.device->device, data_class.data_sync_key);
  Send(request, steps.messages(kept_elsewhere));
  return kResultOk;
}

void SyncModule::Send(const SyncRequest& request, const std::vector<SyncDataMessage>& messages) {
  SendSyncMessages(*this, request.packet, request.uuid, messages);
}
