// What the end-to-end benchmarks share: the simulator with one device and a real agent
// connected to this process, with the device arrived.
#pragma once

#include <string>

#include "agent_process.h"
#include "frontend_link.h"
#include "request_runner.h"
#include "sim_harness.h"

struct BenchAgent {
  devsim::testing::SimHarness sim;
  vadoctl::FrontEndLink link;
  vadoctl::AgentProcess agent;
  vadoctl::DeviceChoice device;  // udid and handle

  // Adds `wanted` to the farm, starts the daemon and the agent and waits for the device;
  // false (with the reason printed) when any step fails.
  bool Start(const devsim::DeviceSpec& wanted);
};
