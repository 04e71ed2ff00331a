// VadoModuleApp: the applications on a device. Lists the user applications with their
// store metadata and disk usage (501), sends icons (502), installs packages from this
// computer (504), uninstalls (505) and archives (506) applications, through the
// installation proxy and the icon service.
#pragma once

#include <string>
#include <vector>

#include "utility/module/vado_module.h"

// Reply codes of the module besides the shared ones.
enum AppResult : int64_t {
  kAppResultNoAfc = 12,
  kAppResultNoService = 14,
};

class VadoModuleApp : public VadoModule {
 public:
  static constexpr uint32_t kListCommand = 501;
  static constexpr uint32_t kIconCommand = 502;
  static constexpr uint32_t kInstallCommand = 504;
  static constexpr uint32_t kUninstallCommand = 505;
  static constexpr uint32_t kArchiveCommand = 506;

  using VadoModule::VadoModule;
  void CallHook(int64_t) override {}
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  int64_t ListApplications(const bas::IPCPacket1& packet, const VadoDevice& device);
  int64_t SendIcons(const bas::IPCPacket1& packet, const VadoDevice& device,
                    const rapidjson::Value& ids);
  int64_t InstallPackages(const bas::IPCPacket1& packet, VadoDevice& device, DhTask& task,
                          const rapidjson::Value& paths);
  // Uninstall and archive: one command per bundle id.
  int64_t RunApplicationCommands(const bas::IPCPacket1& packet, const VadoDevice& device,
                                 const rapidjson::Value& ids, bool archive);
};
