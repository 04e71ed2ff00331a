// Command 201: the device's text-message conversations. The module gets a local copy of
// the message database (a backup restricted to it, a snapshot, or the copy it got last),
// reads it and streams the conversations, each followed by its messages.
#pragma once

#include <cstdint>
#include <string>

#include "utility/module/vado_module.h"

class VadoModuleSms : public VadoModule {
 public:
  static constexpr uint32_t kListCommand = 201;
  // "command" of the request's "info": the way to the database.
  enum Way : int64_t { kViaBackup = 0, kViaSnapshot = 1, kViaHeldPath = 2 };

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

  // Reads the database at `path` and sends its conversations; 0, 6, 19 or 20.
  int64_t QuerySmsDb(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                     const std::string& path);

 private:
  int64_t SendSmsDb(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                    const std::string& path);
  // `error` gets the backup's reason when it fails.
  int64_t ViaBackup(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                    std::string* error);
  int64_t ViaSnapshot(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task);
  int64_t ViaHeldPath(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task);
};
