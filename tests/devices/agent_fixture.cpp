#include "agent_fixture.h"

#include <stdlib.h>

#include "common/json_text.h"
#include "request_runner.h"

using namespace std::chrono_literals;

void AgentFixture::StartAll(int run_mode, int64_t task_id) {
  // The daemon and the agent both keep their temporary files in this test's folder.
  setenv("TMPDIR", sim_.dir().c_str(), 1);
  if (sim_started_) {
    ASSERT_TRUE(sim_.Start());
    sim_.ExportSocket();
  }
  ASSERT_GT(link_.Listen(), 0);
  vadoctl::AgentLaunch launch;
  launch.executable = VADO_AGENT_PATH;
  launch.gui_port = link_.port();
  launch.console = false;
  launch.log = agent_log_;
  launch.run_mode = run_mode;
  launch.task_id = task_id;
  std::string error;
  ASSERT_TRUE(agent_.Start(launch, &error)) << error;
  ASSERT_TRUE(link_.Accept(10s));
}

std::string AgentFixture::Add(devsim::DeviceSpec device) {
  sim_started_ = true;
  return sim_.AddDevice(device);
}

const Seen* AgentFixture::WaitFor(const std::function<bool(const Seen&)>& match,
                                  std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (const Seen& seen : seen_) {
    if (match(seen)) return &seen;
  }
  while (std::chrono::steady_clock::now() < deadline) {
    auto message = link_.Receive(100ms);
    if (!message) {
      if (link_.closed()) return nullptr;
      continue;
    }
    Keep(*message);
    if (match(seen_.back())) return &seen_.back();
  }
  return nullptr;
}

const Seen* AgentFixture::WaitForArrival(const std::string& udid) {
  return WaitFor([&](const Seen& s) { return IsArrival(s, udid); });
}

int64_t AgentFixture::WaitArrival(const std::string& udid) {
  const Seen* arrival = WaitForArrival(udid);
  return arrival ? Code(*arrival) : 0;
}

void AgentFixture::SendRequest(uint32_t command_id, uint64_t task_id, const std::string& udid,
                               int64_t handle, const std::string& body, int sections) {
  std::string header =
      "{\"uuid\":" + JsonQuote(udid) + ",\"code\":" + std::to_string(handle) + "}";
  std::string payload = vadoctl::BuildRequestPayload(header, body, false);
  if (sections != 1) payload.replace(0, 1, std::to_string(sections));
  SendPayload(command_id, task_id, payload);
}

void AgentFixture::SendWithHeader(uint32_t command_id, uint64_t task_id, const std::string& header,
                                  const std::string& body) {
  SendPayload(command_id, task_id, vadoctl::BuildRequestPayload(header, body, false));
}

void AgentFixture::SendPayload(uint32_t command_id, uint64_t task_id, const std::string& payload) {
  ASSERT_TRUE(link_.Send(command_id, task_id, 0, payload));
}

bool AgentFixture::IsResult(const Seen& s, uint64_t task_id) {
  if (s.message.task_id != task_id || !s.header.IsObject()) return false;
  if (task_id == 0 && IsStatus(s, s.message.command_id)) return false;
  return vadoctl::IsRequestResult(s.message, s.header);
}

void AgentFixture::Keep(const vadoctl::AgentMessage& message) {
  Seen seen;
  seen.message = message;
  seen.header.Parse(message.header.c_str());
  seen_.push_back(std::move(seen));
}

const Seen* AgentFixture::AwaitResult(uint64_t task_id, std::vector<const Seen*>* messages,
                                      std::chrono::milliseconds wait, bool look_back) {
  const Seen* result = nullptr;
  if (look_back) {
    // The result may have come in while the test waited for something else.
    for (const Seen& s : seen_) {
      if (IsResult(s, task_id)) {
        result = &s;
        break;
      }
    }
  }
  if (result == nullptr) {
    // The request runner reads the link; every message it reads is kept here, so the
    // result is the last one kept when it is answered. Matched by task alone, as tests
    // also send commands the agent answers under another id.
    auto keep = [this](const vadoctl::AgentMessage& m) { Keep(m); };
    vadoctl::RequestOutcome outcome = vadoctl::AwaitResult(link_, vadoctl::kAnyCommand, task_id,
                                                           nullptr, wait, nullptr, keep);
    if (outcome.answered && !seen_.empty()) result = &seen_.back();
  }
  if (messages != nullptr) {
    messages->clear();
    for (const Seen& s : seen_) {
      if (&s == result) break;
      if (s.message.task_id == task_id) messages->push_back(&s);
    }
  }
  return result;
}

const Seen* AgentFixture::WaitForResult(uint64_t task_id, std::vector<const Seen*>* messages,
                                        std::chrono::milliseconds wait) {
  return AwaitResult(task_id, messages, wait, true);
}

const Seen* AgentFixture::ExpectCancelledInTime(const std::string& udid, uint64_t task,
                                                uint64_t cancel_task, const char* text) {
  const auto start = std::chrono::steady_clock::now();
  SendRequest(600, cancel_task, udid, static_cast<int64_t>(task));
  const Seen* result = WaitForResult(task, nullptr, 10s);
  EXPECT_NE(result, nullptr) << "task " << task << " did not end";
  if (result == nullptr) return nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(result->message.kind, 5);
  EXPECT_EQ(Code(*result), 6);
  if (text != nullptr) {
    EXPECT_NE(result->message.header.find(text), std::string::npos) << result->message.header;
  }
  return result;
}

std::vector<vadoctl::AgentMessage> AgentFixture::Request(uint32_t command_id, uint64_t task_id,
                                                        const std::string& header,
                                                        const std::string& body,
                                                        std::chrono::milliseconds wait) {
  SendWithHeader(command_id, task_id, header, body);
  std::vector<const Seen*> messages;
  const Seen* result = AwaitResult(task_id, &messages, wait, false);
  std::vector<vadoctl::AgentMessage> out;
  if (result == nullptr) return out;
  for (const Seen* s : messages) out.push_back(s->message);
  out.push_back(result->message);
  return out;
}

std::vector<const Seen*> AgentFixture::MessagesOf(uint64_t task_id) const {
  std::vector<const Seen*> found;
  for (const Seen& s : seen_) {
    if (s.message.task_id == task_id) found.push_back(&s);
  }
  return found;
}

bool AgentFixture::IsStatus(const Seen& s, uint32_t status) {
  return s.message.kind == 1 && s.message.task_id == 0 && s.message.command_id == status;
}

bool AgentFixture::IsArrival(const Seen& s, const std::string& udid) {
  return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
         s.header.HasMember("uuid") && s.header["uuid"].IsString() &&
         s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
         s.header["info"].IsObject() && s.header["info"].HasMember("Model");
}

bool AgentFixture::IsDeparture(const Seen& s, const std::string& udid) {
  return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
         s.header.HasMember("uuid") && s.header["uuid"].IsString() &&
         s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
         s.header["info"].IsObject() && s.header["info"].HasMember("PID");
}

std::string AgentFixture::Info(const Seen& s) {
  return s.header.IsObject() && s.header.HasMember("info") && s.header["info"].IsString()
             ? s.header["info"].GetString()
             : "";
}

int64_t AgentFixture::Code(const Seen& s) {
  return s.header.IsObject() && s.header.HasMember("code") && s.header["code"].IsInt64()
             ? s.header["code"].GetInt64()
             : 0;
}
