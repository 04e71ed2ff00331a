// The media module: books and ringtones (1001), adding (1012) and removing (1013) a book.
#pragma once

#include <cstdint>

#include "utility/module/vado_module.h"

class VadoModuleMedia : public VadoModule {
 public:
  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;
};
