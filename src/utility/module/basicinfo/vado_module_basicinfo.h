// Device information requests: make a device ready again (15), report its identity,
// settings, battery and storage figures (300), and rename it (303).
#pragma once

#include "utility/module/vado_module.h"

class VadoModuleBasicInfo : public VadoModule {
 public:
  static constexpr uint32_t kReadyCommand = 15;
  static constexpr uint32_t kInfoCommand = 300;
  static constexpr uint32_t kRenameCommand = 303;

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  // Sends the two data messages of command 300; 0, or 12 without AFC.
  int64_t SendDeviceInfo(const bas::IPCPacket1& packet, VadoDevice& device);
  // 0, 8 (body not JSON), 12 (no AFC) or 31 (the device refused the name).
  int64_t RenameDevice(const RequestHeader& request, VadoDevice& device);
};
