// What every device subcommand of vadoctl needs: a device service (the simulator when
// none runs), the agent connected to us, and one attached device to address requests to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "agent_process.h"
#include "cli_options.h"
#include "device_service.h"
#include "frontend_link.h"

namespace vadoctl {

class DeviceSession {
 public:
  DeviceSession() = default;
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Starts the device service and the agent, then waits for the device named by
  // --udid (or the first one to arrive). False with `error` set when any step fails.
  bool Open(const CliOptions& options, std::string* error);

  const std::string& udid() const { return udid_; }
  int64_t handle() const { return handle_; }
  // The arrival's info object as JSON text (model, firmware, sizes ...).
  const std::string& arrival_info() const { return arrival_info_; }

  // Sends a request about the device with an optional JSON body, hands every message of
  // the request to `on_message` and returns the final one (kind 1, 5, 6), or nothing
  // when it did not arrive within `timeout` or the agent went away.
  std::optional<AgentMessage> Request(
      uint32_t command_id, const std::string& body,
      const std::function<void(const AgentMessage&)>& on_message,
      std::chrono::milliseconds timeout = std::chrono::minutes(10));

  // The agent's result code of a final message (its header's "code").
  static int64_t ResultCode(const AgentMessage& message);

 private:
  DeviceService devices_;
  FrontEndLink link_;
  AgentProcess agent_;
  std::string udid_;
  int64_t handle_ = 0;
  std::string arrival_info_;
  uint64_t next_task_ = 1;
};

// Set by vadoctl's signal handler; long waits end when it turns true.
bool Interrupted();
void SetInterrupted();

}  // namespace vadoctl
