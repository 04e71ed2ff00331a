// A whole agent against the simulator: starts the daemon over a temporary farm, the
// agent pointed at a front-end link, and keeps every message the agent sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include <rapidjson/document.h>

#include "agent_process.h"
#include "frontend_link.h"
#include "sim_harness.h"

struct Seen {
  vadoctl::AgentMessage message;
  rapidjson::Document header;
};

class AgentFixture : public ::testing::Test {
 protected:
  // Starts the simulator (when it has devices) and the agent pointed at it.
  void StartAll(int run_mode = 0, int64_t task_id = 0);
  std::string Add(devsim::DeviceSpec device);
  // The first message (within `wait`) that `match` accepts; every message seen is kept.
  const Seen* WaitFor(const std::function<bool(const Seen&)>& match,
                      std::chrono::milliseconds wait = std::chrono::seconds(15));
  // Waits for the device's arrival and returns its handle (0 when it never arrives).
  int64_t WaitArrival(const std::string& udid);

  // Sends a request whose header is {"uuid": udid, "code": handle} with `body` as JSON
  // text (none when empty), and a section count of `sections`.
  void SendRequest(uint32_t command_id, uint64_t task_id, const std::string& udid,
                   int64_t handle = 0, const std::string& body = "", int sections = 1);
  // The request's final message (kind 1, 5 or 6), or null.
  const Seen* WaitResult(uint64_t task_id, std::chrono::milliseconds wait = std::chrono::seconds(30));
  // Every message seen so far for the task, in arrival order.
  std::vector<const Seen*> MessagesOf(uint64_t task_id) const;

  static bool IsStatus(const Seen& s, uint32_t status);
  static bool IsArrival(const Seen& s, const std::string& udid);
  static bool IsDeparture(const Seen& s, const std::string& udid);
  static std::string Info(const Seen& s);
  static int64_t Code(const Seen& s);

  std::deque<Seen> seen_;  // stable addresses
  devsim::testing::SimHarness sim_;
  bool sim_started_ = false;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;
};
