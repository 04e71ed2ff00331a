// Wiping a device: 1700 empties the private media folders, uninstalls the user
// applications and restores a prepared backup; 1701 overwrites the data partition's free
// space. Both answer once with {"error": message} and stop on cancel (600).
#pragma once

#include "utility/module/erase/erase_result.h"
#include "utility/module/vado_module.h"

class VadoModuleErase : public VadoModule {
 public:
  using VadoModule::VadoModule;
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  // Runs the passes on a worker thread and answers a cancel within two seconds even when
  // a device write hangs.
  EraseResult WipeFreeSpace(const bas::IPCPacket1& packet, DeviceRequest& begun,
                            const rapidjson::Value& params);
};
