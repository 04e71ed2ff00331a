// vadoctl's subcommands that address one device through the agent (info, rename, ...).
#pragma once

#include <string>
#include <vector>

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

struct DeviceCommand {
  const char* name;
  const char* usage;  // one help line: arguments and what it does
  int min_args;
  int max_args;       // -1: any number
  // Runs with the device session open; returns the process exit code.
  int (*run)(DeviceSession& session, const CliOptions& options);
  bool needs_device = true;  // false: the request is about the computer
};

// Every device subcommand; null when `name` is none of them.
const DeviceCommand* FindDeviceCommand(const std::string& name);
const std::vector<DeviceCommand>& DeviceCommands();

// Exit codes of device subcommands.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;     // the agent answered with an error
constexpr int kExitUsage = 2;
constexpr int kExitNoResult = 3;   // no answer (timeout, agent gone, interrupted)

// Prints "vadoctl: <what> failed with code N" (and the agent's reason) or the missing
// answer, and returns the exit code for a request's result.
int FinishRequest(const std::string& what, const RequestOutcome& outcome);

}  // namespace vadoctl
