// A whole agent against the simulator: starts the daemon over a temporary farm, the
// agent pointed at a front-end link, and keeps every message the agent sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "agent_process.h"
#include "frontend_link.h"
#include "sim_harness.h"

using vadoctl::AgentMessage;

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
  // The device's arrival message (null if it did not arrive), or its handle (0).
  const Seen* WaitForArrival(const std::string& udid);
  int64_t WaitArrival(const std::string& udid);

  // Sends a request whose header is {"uuid": udid, "code": handle} with `body` as JSON
  // text (none when empty), and a section count of `sections`.
  void SendRequest(uint32_t command_id, uint64_t task_id, const std::string& udid,
                   int64_t handle = 0, const std::string& body = "", int sections = 1);
  // Sends a request with a header object of the caller's, or a whole payload.
  void SendWithHeader(uint32_t command_id, uint64_t task_id, const std::string& header,
                      const std::string& body = "");
  void SendPayload(uint32_t command_id, uint64_t task_id, const std::string& payload);

  // The module result of a task: kind 1 or 5, or kind 6 with a non-zero code (a kind-6
  // message with code 0 is one application's failure within an install).
  static bool IsResult(const Seen& s, uint64_t task_id);
  // Waits for the task's result; `messages` gets the task's other messages in order.
  const Seen* WaitForResult(uint64_t task_id, std::vector<const Seen*>* messages = nullptr,
                            std::chrono::milliseconds wait = std::chrono::seconds(45));
  // Sends a request with a header object of the caller's and returns the task's
  // messages up to and including the result (last); empty when no result came.
  std::vector<vadoctl::AgentMessage> Request(
      uint32_t command_id, uint64_t task_id, const std::string& header,
      const std::string& body = "", std::chrono::milliseconds wait = std::chrono::seconds(50));
  // Sends 600 (as task `cancel_task`) for the device's task `task` and checks that the
  // task ends within two seconds with kind 5, code 6 and `text` in its header (none for
  // modules whose results carry no text); returns the result (null when none came within
  // ten seconds).
  const Seen* ExpectCancelledInTime(const std::string& udid, uint64_t task, uint64_t cancel_task,
                                    const char* text = "Task cancelled.");
  // Every message seen so far for the task, in arrival order.
  std::vector<const Seen*> MessagesOf(uint64_t task_id) const;

  static bool IsStatus(const Seen& s, uint32_t status);
  static bool IsArrival(const Seen& s, const std::string& udid);
  static bool IsDeparture(const Seen& s, const std::string& udid);
  static std::string Info(const Seen& s);
  static int64_t Code(const Seen& s);

  std::deque<Seen> seen_;  // stable addresses
  bool agent_log_ = false;  // set before StartAll: the agent writes log files under TMPDIR
  devsim::testing::SimHarness sim_;
  bool sim_started_ = false;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;

 private:
  void Keep(const vadoctl::AgentMessage& message);
  // The task's result through the vadoctl request runner (first among the messages
  // already seen when `look_back`); `messages` gets the task's earlier messages.
  const Seen* AwaitResult(uint64_t task_id, std::vector<const Seen*>* messages,
                          std::chrono::milliseconds wait, bool look_back);
};
