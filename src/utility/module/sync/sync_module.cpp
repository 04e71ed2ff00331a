#include "utility/module/sync/sync_module.h"

#include "common/text_convert.h"

int64_t SyncModule::HandleRequest(const bas::IPCPacket1& packet) {
  RequestHeader header = ParseRequestHeader(packet);
  if (!header.valid) {
    Reply(packet, "", kResultBadHeader);
    return 0;
  }
  VadoDevicePtr device = FindRequestDevice(header);
  if (!device) {
    Reply(packet, header.uuid, kResultNoDevice);
    return 0;
  }
  SyncRequest request{packet, header, device, Utf16ToUtf8(device->unique_device_id)};
  int64_t code = kResultOk;
  if (!NeedsOneSection(packet.command_id) || header.section_count == 1) code = Run(request);
  Reply(packet, request.uuid, code);
  return 0;
}

ServicePtr SyncModule::StartSyncService(const SyncRequest& request) {
  int32_t error = 0;
  return GetService(request.device->device, &error, kMobileSyncServiceName, nullptr, false);
}

void SyncModule::Send(const SyncRequest& request, const std::vector<SyncDataMessage>& messages) {
  SendSyncMessages(*this, request.packet, request.uuid, messages);
}
