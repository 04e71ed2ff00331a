// A whole agent started against the simulator, with the front end's side of the link:
// every message the agent sends is kept, and tests wait for the ones they expect.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "agent_process.h"
#include "frontend_link.h"
#include "sim_harness.h"

using namespace std::chrono_literals;
using vadoctl::AgentMessage;

struct Seen {
  AgentMessage message;
  rapidjson::Document header;
};

class AgentFixture : public ::testing::Test {
 protected:
  // Starts the simulator (when it has devices) and the agent pointed at it.
  void StartAll(int run_mode = 0, int64_t task_id = 0) {
    if (sim_started_) {
      ASSERT_TRUE(sim_.Start());
      sim_.ExportSocket();
    }
    setenv("TMPDIR", sim_.dir().c_str(), 1);
    ASSERT_GT(link_.Listen(), 0);
    vadoctl::AgentLaunch launch;
    launch.executable = VADO_AGENT_PATH;
    launch.gui_port = link_.port();
    launch.console = false;
    launch.run_mode = run_mode;
    launch.task_id = task_id;
    std::string error;
    ASSERT_TRUE(agent_.Start(launch, &error)) << error;
    ASSERT_TRUE(link_.Accept(10s));
  }
  std::string Add(devsim::DeviceSpec device) {
    sim_started_ = true;
    return sim_.AddDevice(device);
  }
  // The first message (within `wait`) that `match` accepts; every message seen is kept.
  const Seen* WaitFor(const std::function<bool(const Seen&)>& match,
                      std::chrono::milliseconds wait = 15s) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (const Seen& seen : seen_) {
      if (match(seen)) return &seen;
    }
    while (std::chrono::steady_clock::now() < deadline) {
      auto message = link_.Receive(100ms);
      if (!message) continue;
      Seen seen;
      seen.message = *message;
      seen.header.Parse(message->header.c_str());
      seen_.push_back(std::move(seen));
      if (match(seen_.back())) return &seen_.back();
    }
    return nullptr;
  }
  static bool IsStatus(const Seen& s, uint32_t status) {
    return s.message.kind == 1 && s.message.task_id == 0 && s.message.command_id == status;
  }
  static bool IsArrival(const Seen& s, const std::string& udid) {
    return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
           s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
           s.header["info"].IsObject() && s.header["info"].HasMember("Model");
  }
  static bool IsDeparture(const Seen& s, const std::string& udid) {
    return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
           s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
           s.header["info"].IsObject() && s.header["info"].HasMember("PID");
  }
  static std::string Info(const Seen& s) {
    return s.header.HasMember("info") && s.header["info"].IsString() ? s.header["info"].GetString() : "";
  }

  // The device's arrival message (null if it did not arrive).
  const Seen* WaitForArrival(const std::string& udid) {
    return WaitFor([&](const Seen& s) { return IsArrival(s, udid); });
  }
  // Sends a request; `payload` is the whole payload (see vadoctl::BuildRequestPayload).
  void SendPayload(uint32_t command, uint64_t task, const std::string& payload) {
    ASSERT_TRUE(link_.Send(command, task, 0, payload));
  }
  void SendRequest(uint32_t command, uint64_t task, const std::string& header,
                   const std::string& body = "") {
    SendPayload(command, task, vadoctl::BuildRequestPayload(header, body, false));
  }
  // The module result of a task (kind 1 or 5, or kind 6 with a non-zero code).
  static bool IsResult(const Seen& s, uint64_t task) {
    if (s.message.task_id != task || !s.header.IsObject()) return false;
    if (s.message.kind == 1 || s.message.kind == 5) return true;
    return s.message.kind == 6 && s.header["code"].GetInt64() != 0;
  }
  // Waits for the task's result and returns it; `messages` gets the task's other
  // messages in arrival order.
  const Seen* WaitForResult(uint64_t task, std::vector<const Seen*>* messages = nullptr,
                            std::chrono::milliseconds wait = 45s) {
    const Seen* result = WaitFor([&](const Seen& s) { return IsResult(s, task); }, wait);
    if (messages != nullptr) {
      messages->clear();
      for (const Seen& s : seen_) {
        if (&s == result) break;
        if (s.message.task_id == task) messages->push_back(&s);
      }
    }
    return result;
  }

  std::deque<Seen> seen_;  // stable addresses
  devsim::testing::SimHarness sim_;
  bool sim_started_ = false;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;
};
