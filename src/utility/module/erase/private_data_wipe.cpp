#include "utility/module/erase/private_data_wipe.h"

#include <glog/logging.h>

#include <string>
#include <vector>

#include "common/afc_file_ops.h"
#include "utility/ios/app_service_requests.h"
#include "utility/ios/app_services.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/itunes/backup_engine.h"
#include "utility/module/connection_cancel_hook.h"
#include "utility/module/vado_module.h"

namespace {

struct PrivateFolder {
  int percent;  // progress reported before the folder is emptied
  const char* path;
};

// In this order: a folder's subfolders go before the folder that holds them.
constexpr PrivateFolder kPrivateFolders[] = {
    {4, "/PhotoData/Thumbnails"},
    {8, "/PhotoData/MISC"},
    {13, "/PhotoData/Metadata"},
    {17, "/PhotoData/Videos"},
    {21, "/PhotoData/AlbumsMetadata"},
    {26, "/PhotoData/Logs"},
    {30, "/PhotoData/Caches"},
    {34, "/PhotoData/PhotoCloudSharingData"},
    {39, "/Photos"},
    {43, "/PhotoStreamsData"},
    {47, "/DCIM"},
    {52, "/iTunes_Control/Music"},
    {56, "/iTunes_Control/Artwork"},
    {60, "/iTunes_Control/iTunes/Artwork"},
    {65, "/iTunes_Control/Sync"},
    {69, "/iTunes_Control"},
    {73, "/Books"},
    {78, "/Podcasts"},
    {82, "/Purchases"},
    {86, "/Radio"},
    {91, "/Recordings"},
    {95, "/Downloads"},
};

EraseResult Cancelled() { return {kEraseCancelled, kEraseCancelledText}; }

}  // namespace

EraseResult RunPrivateDataWipe(VadoModule& module, const bas::IPCPacket1& request,
                               VadoDevice& device, DhTask& task, const rapidjson::Value& params) {
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc || afc->afc() == nullptr) return {kEraseNoFileService, "open afc error"};
  ServicePtr proxy = GetService(device.device, &error, kInstallationProxyService, nullptr, false);
  if (!proxy) return {kEraseNoInstallProxy, "open app uninstall service error"};

  for (const PrivateFolder& folder : kPrivateFolders) {
    if (IsCancelled(task)) return Cancelled();
    module.ReportProgress(request, &device, folder.percent, kWipeFoldersProgress);
    // The folder stays (the device's apps expect it); an error here does not stop the wipe.
    if (!RemoveTree(afc->afc(), folder.path, false, false, &task)) {
      VLOG(1) << "private-data wipe: " << folder.path << " not emptied completely";
    }
  }
  module.ReportProgress(request, &device, 100, kWipeFoldersProgress);

  std::vector<CFRef<CFDictionaryRef>> pages;
  if (!BrowseApplications(device, &pages)) {
    LOG(WARNING) << "private-data wipe: the application list ended early";
  }
  const std::vector<std::string> ids = ListedBundleIds(pages);
  {
    // A device that leaves an uninstall unanswered is woken by a cancel.
    ConnectionCancelHook hook(task, proxy->connection());
    if (IsCancelled(task)) return Cancelled();
    // Only applications with an identifier are counted, so the stage ends at 100.
    size_t done = 0;
    for (const std::string& id : ids) {
      if (IsCancelled(task)) return Cancelled();
      if (!UninstallApplication(proxy->connection(), id)) {
        LOG(WARNING) << "private-data wipe: uninstalling " << id << " failed";
      }
      ++done;
      module.ReportProgress(request, &device, static_cast<double>(done * 100 / ids.size()),
                            kWipeAppsProgress);
    }
    if (ids.empty()) module.ReportProgress(request, &device, 100, kWipeAppsProgress);
  }
  proxy.reset();
  if (IsCancelled(task)) return Cancelled();

  BackupOutcome restored = RunRestore(module, request, device, &task, params);
  return {restored.code, restored.message};
}
