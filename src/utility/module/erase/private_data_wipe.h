// Command 1700: empties the media folders that hold the user's private data, uninstalls
// every user application and then restores the backup the front end prepared.
#pragma once

#include <rapidjson/document.h>

#include "common/dh_task.h"
#include "common/ipc_packet.h"
#include "utility/ios/vado_device.h"
#include "utility/module/erase/erase_result.h"

class VadoModule;

// Progress kinds of the two stages.
inline constexpr int32_t kWipeFoldersProgress = 0;
inline constexpr int32_t kWipeAppsProgress = 2;

// `params` is the request body: the restore's "path", "sourceDeviceId", "password".
EraseResult RunPrivateDataWipe(VadoModule& module, const bas::IPCPacket1& request,
                               VadoDevice& device, DhTask& task, const rapidjson::Value& params);
