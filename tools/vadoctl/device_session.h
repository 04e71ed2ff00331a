// What every device subcommand of vadoctl needs: a device service (the simulator when
// none runs), the agent connected to us, and one attached device to address requests to.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "agent_process.h"
#include "cli_options.h"
#include "device_service.h"
#include "frontend_link.h"
#include "request_runner.h"

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

  const std::string& udid() const { return device_.udid; }

  // Sends a request about the device (`body`: JSON text, empty for none), hands every
  // message of the request to `sink` and returns the result.
  RequestOutcome Run(uint32_t command_id, const std::string& body, const MessageSink& sink);
  // The same with `info` (JSON text) as the header object's "info".
  RequestOutcome Run(uint32_t command_id, const std::string& body, const MessageSink& sink,
                     const std::string& info);

 private:
  DeviceService devices_;
  FrontEndLink link_;
  AgentProcess agent_;
  DeviceChoice device_;
  uint64_t next_task_ = 1;
  std::chrono::milliseconds timeout_{0};
};

// Set by vadoctl's signal handler; long waits end when it turns true.
const std::atomic<bool>& InterruptFlag();
bool Interrupted();
void SetInterrupted();

}  // namespace vadoctl
