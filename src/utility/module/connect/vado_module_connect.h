// VadoModuleConnect: prepares the computer for device access: restarts device
// monitoring (10), downloads the driver packages (16), and has an elevated second
// instance of the agent (run mode 2) check for the store application (17) and install
// the drivers (18). The elevated instance's answers come back through slot 4.
#pragma once

#include <sys/types.h>

#include "utility/module/vado_module.h"

inline constexpr int64_t kResultServerFailed = 52;
inline constexpr int64_t kResultElevatedStartFailed = 53;

class VadoModuleConnect : public VadoModule {
 public:
  using VadoModule::VadoModule;

  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;
  int64_t HandleServerPacket(const bas::IPCPacket1& packet) override;

 private:
  void RestartMonitoring(const bas::IPCPacket1& packet);
  void DownloadDriversRequest(const bas::IPCPacket1& packet, const RequestHeader& request);
  // Run mode 2: the work itself, answered with {"error": code}.
  void InstallRequest(const bas::IPCPacket1& packet, const RequestHeader& request);
  void StoreCheckRequest(const bas::IPCPacket1& packet, const RequestHeader& request);
  void SendElevatedResult(const bas::IPCPacket1& packet, const RequestHeader& request, int64_t code);
  // Other run modes: hands the request to the elevated instance, starting it first.
  void Relay(const bas::IPCPacket1& packet);
  // Answers 53 to the waiting requests when the started instance ends or does not
  // present itself in time.
  void WatchElevatedStart(pid_t pid);

  pid_t elevated_pid_ = -1;  // guarded by mutex_
};
