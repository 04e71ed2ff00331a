#include "device_service.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <usbmuxd.h>

#include "platform/process.h"

namespace vadoctl {
namespace {

constexpr const char* kSystemMuxSocket = "/var/run/usbmuxd";

// How many devices the usbmuxd that libusbmuxd reaches ($USBMUXD_SOCKET_ADDRESS or the
// system socket) has attached; -1 when it does not answer.
int AttachedDevices() {
  usbmuxd_device_info_t* list = nullptr;
  int count = usbmuxd_get_device_list(&list);
  if (list != nullptr) usbmuxd_device_list_free(&list);
  return count;
}

}  // namespace

std::string DescribeDeviceService(const std::string& service, int devices) {
  if (devices < 0) return "found " + service + ", but it does not answer";
  if (devices == 0) {
    return "found " + service + " with no device attached yet: plug a device in with its "
           "cable and unlock it";
  }
  return "found " + service + " with " + std::to_string(devices) +
         (devices == 1 ? " device attached" : " devices attached");
}

std::string SampleFarmPath() { return platform::ExecutableFolder() + "../share/sample-farm"; }

DeviceService::~DeviceService() {
  if (daemon_.pid() > 0) daemon_.Stop(3000);
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

bool DeviceService::Ensure(const std::string& farm, std::string* error) {
  // The agent reaches devices through $USBMUXD_SOCKET_ADDRESS or the system's usbmuxd
  // socket; a simulator serving some other private socket is no use to it.
  struct stat socket_info;
  if (const char* address = getenv("USBMUXD_SOCKET_ADDRESS")) {
    found_ = DescribeDeviceService(std::string("the device service at ") + address,
                                   AttachedDevices());
    return true;
  }
  if (::stat(kSystemMuxSocket, &socket_info) == 0 && S_ISSOCK(socket_info.st_mode)) {
    found_ = DescribeDeviceService("the system's usbmuxd", AttachedDevices());
    return true;
  }
  std::string source = farm.empty() ? SampleFarmPath() : farm;
  std::error_code failure;
  if (!std::filesystem::is_directory(source, failure)) {
    *error = "no device service is running and there is no farm at " + source;
    return false;
  }
  std::string pattern = platform::TempPath() + "vadoctl-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot create a temporary folder";
    return false;
  }
  folder_ = pattern;
  // The simulator writes pairings and names into its farm: work on a copy.
  std::filesystem::copy(source, folder_ + "/farm",
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::copy_symlinks,
                        failure);
  if (failure) {
    *error = "cannot copy the farm: " + failure.message();
    return false;
  }
  // The copy keeps each file's modification time, which device files report and photo
  // thumbnails are named by.
  namespace fs = std::filesystem;
  for (fs::recursive_directory_iterator it(source, failure), end; !failure && it != end;
       it.increment(failure)) {
    if (!it->is_regular_file() || it->is_symlink()) continue;
    std::error_code ignored;
    const fs::path copy = fs::path(folder_ + "/farm") / fs::relative(it->path(), source, ignored);
    fs::last_write_time(copy, it->last_write_time(ignored), ignored);
  }
  failure.clear();
  socket_path_ = folder_ + "/usbmuxd.sock";
  std::string executable = platform::ExecutableFolder() + "vado-devsimd";
  if (!daemon_.StartCommand({executable, "--socket", socket_path_, "--farm", folder_ + "/farm"},
                            error)) {
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  struct stat info;
  while (::stat(socket_path_.c_str(), &info) != 0) {
    if (daemon_.Exited() || std::chrono::steady_clock::now() > deadline) {
      *error = "the simulator did not start";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket_path_).c_str(), 1);
  found_ = "no device service (usbmuxd) is running: started the simulator with the farm at " +
           std::filesystem::weakly_canonical(source, failure).string() + " on " + socket_path_;
  return true;
}

}  // namespace vadoctl
