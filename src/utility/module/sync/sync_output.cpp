#include "utility/module/sync/sync_output.h"

#include "common/message_sections.h"
#include "utility/ios/vado_client.h"
#include "utility/module/vado_module.h"

std::string CountInfo(int64_t count) { return "{\"Count\":" + std::to_string(count) + "}"; }

void SendSyncMessages(VadoModule& module, const bas::IPCPacket1& request, const std::string& uuid,
                      const std::vector<SyncDataMessage>& messages) {
  for (const SyncDataMessage& message : messages) {
    ReplyRecord record;
    record.stage = message.stage;
    record.code = 0;
    record.uuid = uuid;
    record.type = 0;
    if (!message.info.empty()) record.info = message.info;
    record.body = message.body;
    bas::PacketHeader header;
    header.task_id = request.task_id;
    header.command_id = message.command_id != 0 ? message.command_id : request.command_id;
    header.kind = kKindProgress;
    module.client().SendReply(record, header);
  }
}
