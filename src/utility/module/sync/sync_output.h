// Data messages of the sync-data modules: what an operation produced, ready to send.
// Operations build these lists without touching the front-end link, so they can be
// checked on their own; the module then sends them in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ipc_packet.h"

class VadoModule;

struct SyncDataMessage {
  uint32_t command_id = 0;  // 0: the request's command id
  int32_t stage = 0;
  std::string info;         // raw JSON; empty leaves the key out
  std::string body;         // JSON text, compressed on sending; may be empty
};

// {"Count":n}
std::string CountInfo(int64_t count);

// Sends each message as kind 2 with the request's task id, code 0, type 0 and `uuid`.
void SendSyncMessages(VadoModule& module, const bas::IPCPacket1& request, const std::string& uuid,
                      const std::vector<SyncDataMessage>& messages);
