// Cancels a running task (command 600): the task named by the header's "code" is marked
// cancelled in the registry of the device named by "uuid", or in the process-wide
// registry when "uuid" is empty.
#pragma once

#include "utility/module/vado_module.h"

class VadoModuleControl : public VadoModule {
 public:
  static constexpr uint32_t kCancelCommand = 600;

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;
};
