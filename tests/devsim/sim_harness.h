// Starts vado-devsimd on a private socket over a temporary farm, and runs programs against it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "farm/farm_builder.h"

namespace devsim::testing {

struct ToolResult {
  int status = -1;  // exit status, or -1 when killed or not started
  std::string out;
  std::string err;
};

class SimHarness {
 public:
  SimHarness();
  ~SimHarness();  // stops the daemon, removes the folder
  SimHarness(const SimHarness&) = delete;
  SimHarness& operator=(const SimHarness&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path farm_dir() const { return dir_ / "farm"; }
  const std::string& socket_path() const { return socket_; }

  // Adds a device to the farm (before or after Start; after Start it needs a `plug`).
  std::string AddDevice(const DeviceSpec& spec);
  bool Start();
  // SIGTERM and wait; returns the daemon's exit status (-1 if it did not end by itself).
  int Stop();
  bool running() const { return pid_ > 0; }

  // Runs argv with USBMUXD_SOCKET_ADDRESS pointing at the daemon and HOME in the temp folder.
  ToolResult Run(const std::vector<std::string>& argv, int timeout_s = 30) const;
  // vado-devsim --socket PATH args...
  ToolResult Control(const std::vector<std::string>& args) const;
  // Points this process's libimobiledevice at the daemon.
  void ExportSocket() const;

 private:
  std::filesystem::path dir_;
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace devsim::testing
