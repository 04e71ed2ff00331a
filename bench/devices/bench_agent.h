// What the end-to-end benchmarks share: the simulator with one device and a real agent
// connected to this process, with the device arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

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

  // Sends `command` for `task` with the header object `header_json` (no body) and hands
  // every progress message of the task to `on_progress` (its parsed header and its body)
  // until the result arrives: the result's code, or -1 when none came within 15 minutes.
  int64_t Request(uint32_t command, uint64_t task, const std::string& header_json,
                  const std::function<void(const rapidjson::Document& header,
                                           const std::string& body)>& on_progress);
};

// How many times `marker` occurs in `text` (list payloads are counted by the member each
// object starts with).
size_t CountOccurrences(const std::string& text, std::string_view marker);
