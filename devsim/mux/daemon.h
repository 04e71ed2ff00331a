// vado-devsimd: accepts mux clients on a unix socket and serves each on its own thread.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "mux/device_table.h"
#include "farm/farm.h"
#include "lockdown/service_registry.h"

namespace devsim {

class Daemon {
 public:
  Daemon(Farm& farm, const ServiceRegistry& services);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Binds the socket (replacing a stale socket file) and attaches every farm device.
  bool Start(const std::string& socket_path, std::string* error);
  // Serves until RequestStop; then closes every client and joins their threads.
  void Run();
  // Async-signal-safe.
  void RequestStop();

  static constexpr size_t kMaxClients = 1024;

  DeviceTable& table() { return table_; }
  Farm& farm() { return farm_; }
  const ServiceRegistry& services() const { return services_; }
  // Remembers that a client connection now talks to this device (unplug drops it).
  void BindConnection(int fd, const std::string& udid);
  // Drops every connection bound to the device, as pulling the cable would.
  void DropDeviceConnections(const std::string& udid);

 private:
  struct Conn {
    std::thread thread;
    std::string udid;  // device the connection was connected to, if any
    std::shared_ptr<std::atomic<bool>> done;
  };
  void ReapFinished();

  Farm& farm_;
  const ServiceRegistry& services_;
  DeviceTable table_;
  std::string socket_path_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::mutex conns_mu_;  // guards conns_
  std::map<int, Conn> conns_;  // by client fd; the fd is closed only after its thread joined
};

}  // namespace devsim
