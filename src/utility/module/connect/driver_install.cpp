#include "utility/module/connect/driver_install.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/console_redirector.h"
#include "platform/process.h"
#include "utility/ios/vado_device_monitor.h"

namespace {

// An installer that has not finished in this time is stopped and counts as failed.
constexpr std::chrono::minutes kInstallerTimeout{15};

}  // namespace

std::vector<std::string> InstallerCommand(const std::string& package) {
  const char* installer = std::getenv("VADO_INSTALLER");
  if (installer == nullptr || *installer == '\0') return {};
  return {installer, "/package", package, "/passive", "/norestart", "/qn", "/l*", package + ".log"};
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  struct stat info {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const fs::path file = fs::canonical(path, error);
  if (error) return false;
  const fs::path base = fs::canonical(folder, error);
  if (error) return false;
  return file.parent_path() == base;
}

int64_t InstallDrivers(const std::vector<std::string>& packages, const std::string& download_folder,
                       const std::function<void(int index, int count)>& progress) {
  int64_t code = 0;
  const int count = static_cast<int>(packages.size());
  for (int i = 0; i < count && code == 0; ++i) {
    const std::string& package = packages[i];
    if (!IsInsideFolder(package, download_folder)) {
      LOG(ERROR) << "Install Driver refused, not a downloaded package: " << package;
      code = kResultInstallFailed;
      break;
    }
    std::vector<std::string> command = InstallerCommand(package);
    if (command.empty()) {
      LOG(ERROR) << "Install Driver: no installer configured";
      code = kResultInstallFailed;
      break;
    }
    std::string line;
    for (const std::string& arg : command) line += (line.empty() ? "" : " ") + arg;
    platform::SyncRedirector redirector;
    std::string output;
    const int status = redirector.Run(command, &output, kInstallerTimeout);
    LOG(INFO) << line;
    LOG(INFO) << output;
    if (output.find("error") != std::string::npos || status < 0) {
      code = kResultInstallFailed;
      break;
    }
    progress(i + 1, count);
  }
  LOG(INFO) << "FailedBlacklist Before: " << code;
  if (code == 0 && !platform::IsProcessRunning(DeviceServicePatterns())) code = kResultInstallFailed;
  LOG(INFO) << "FailedBlacklist After: " << code;
  LOG(INFO) << "Install Driver: " << code;
  return code;
}

int64_t CheckStoreApplication() { return 0; }
