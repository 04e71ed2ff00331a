// What the elevated instance (run mode 2) does for 18 and 17: runs the platform's
// installer on each downloaded package, and looks for the store edition of Apple's
// desktop application.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr int64_t kResultInstallFailed = 51;
inline constexpr int64_t kResultStoreApplication = 54;

// The installer command line for one package: $VADO_INSTALLER with the package
// arguments; empty when no installer is configured.
std::vector<std::string> InstallerCommand(const std::string& package);

// True when `path` names a regular file directly inside `folder` (links are refused).
bool IsInsideFolder(const std::string& path, const std::string& folder);

// Installs the packages in order, only from `download_folder`: 0, or 51 when a path lies
// elsewhere, the installer cannot run or prints "error" (later packages are not run), or
// no device service is running afterwards. `progress` gets (index from 1, count) after
// each installed package.
int64_t InstallDrivers(const std::vector<std::string>& packages, const std::string& download_folder,
                       const std::function<void(int index, int count)>& progress);

// 54 when the store edition is installed, else 0. No store edition exists on this
// platform, so the check finds nothing.
int64_t CheckStoreApplication();
