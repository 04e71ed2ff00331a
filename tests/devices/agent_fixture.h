// The agent against a simulator: starts vado-devsimd on a private socket over a temporary
// farm and the agent pointed at it, and reads the agent's messages. Tests that need a
// device in the farm add it before StartAll.
#pragma once

#include <stdlib.h>
#include <unistd.h>

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

#ifndef VADO_AGENT_PATH
#error "VADO_AGENT_PATH must name the agent executable"
#endif

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
    ASSERT_TRUE(link_.Accept(std::chrono::seconds(10)));
  }
  std::string Add(devsim::DeviceSpec device) {
    sim_started_ = true;
    return sim_.AddDevice(device);
  }
  // The first message (within `wait`) that `match` accepts; every message seen is kept.
  const Seen* WaitFor(const std::function<bool(const Seen&)>& match,
                      std::chrono::milliseconds wait = std::chrono::seconds(15)) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (const Seen& seen : seen_) {
      if (match(seen)) return &seen;
    }
    while (std::chrono::steady_clock::now() < deadline) {
      auto message = link_.Receive(std::chrono::milliseconds(100));
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

  // Sends a request with a one-section payload (`body` compressed) and returns every
  // message of its task up to and including the result (kind 1, 5 or 6); the result is
  // last. Empty when no result came within `wait`.
  std::vector<AgentMessage> Request(uint32_t command, uint64_t task, const std::string& header,
                                    const std::string& body = "",
                                    std::chrono::milliseconds wait = std::chrono::seconds(50)) {
    std::vector<AgentMessage> out;
    if (!link_.Send(command, task, 0, vadoctl::BuildRequestPayload(header, body, false))) return out;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      auto message = link_.Receive(std::chrono::milliseconds(100));
      if (!message) continue;
      if (message->task_id != task) continue;
      out.push_back(*message);
      if (message->kind == 1 || message->kind == 5 || message->kind == 6) return out;
    }
    out.clear();
    return out;
  }

  std::deque<Seen> seen_;  // stable addresses
  devsim::testing::SimHarness sim_;
  bool sim_started_ = false;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;
};
