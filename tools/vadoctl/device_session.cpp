#include "device_session.h"

#include <atomic>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/json_text.h"

namespace vadoctl {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};

constexpr auto kArrivalWait = std::chrono::seconds(30);

bool IsFinalKind(uint16_t kind) { return kind == 1 || kind == 5 || kind == 6; }

}  // namespace

bool Interrupted() { return g_interrupted; }
void SetInterrupted() { g_interrupted = true; }

DeviceSession::~DeviceSession() {
  if (agent_.pid() > 0) agent_.Stop();
}

bool DeviceSession::Open(const CliOptions& options, std::string* error) {
  if (options.simulator && !devices_.Ensure(options.farm, error)) return false;
  if (link_.Listen() < 0) {
    *error = "cannot listen on 127.0.0.1";
    return false;
  }
  AgentLaunch launch = options.launch;
  launch.gui_port = link_.port();
  if (!agent_.Start(launch, error)) return false;
  if (!link_.Accept(milliseconds(15000))) {
    *error = "the agent did not connect";
    return false;
  }
  const auto deadline = steady_clock::now() + kArrivalWait;
  while (!Interrupted() && !link_.closed() && steady_clock::now() < deadline) {
    std::optional<AgentMessage> message = link_.Receive(milliseconds(100));
    if (!message) continue;
    if (message->kind == 1 && message->task_id == 0 && message->command_id == 14) {
      *error = "no device service is running (usbmuxd or the simulator)";
      return false;
    }
    if (message->kind != 2 || message->command_id != 0) continue;
    rapidjson::Document header;
    header.Parse(message->header.c_str());
    if (!header.IsObject() || !header.HasMember("info") || !header["info"].IsObject() ||
        !header["info"].HasMember("Model") || !header.HasMember("uuid") ||
        !header["uuid"].IsString() || !header.HasMember("code") || !header["code"].IsInt64()) {
      continue;  // not an arrival
    }
    std::string udid = header["uuid"].GetString();
    if (!options.udid.empty() && udid != options.udid) continue;
    udid_ = udid;
    handle_ = header["code"].GetInt64();
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    header["info"].Accept(writer);
    arrival_info_.assign(buffer.GetString(), buffer.GetSize());
    return true;
  }
  *error = options.udid.empty() ? "no device arrived"
                                : "device " + options.udid + " did not arrive";
  return false;
}

std::optional<AgentMessage> DeviceSession::Request(
    uint32_t command_id, const std::string& body,
    const std::function<void(const AgentMessage&)>& on_message, std::chrono::milliseconds timeout) {
  const uint64_t task = next_task_++;
  const std::string header =
      "{\"uuid\":" + JsonQuote(udid_) + ",\"code\":" + std::to_string(handle_) + "}";
  if (!link_.Send(command_id, task, 0, BuildRequestPayload(header, body, false))) {
    return std::nullopt;
  }
  const auto deadline = steady_clock::now() + timeout;
  while (!Interrupted() && !link_.closed() && steady_clock::now() < deadline) {
    std::optional<AgentMessage> message = link_.Receive(milliseconds(100));
    if (!message || message->task_id != task) continue;
    if (IsFinalKind(message->kind) && message->command_id == command_id) return message;
    if (on_message) on_message(*message);
  }
  return std::nullopt;
}

int64_t DeviceSession::ResultCode(const AgentMessage& message) {
  rapidjson::Document header;
  header.Parse(message.header.c_str());
  if (!header.IsObject() || !header.HasMember("code") || !header["code"].IsInt64()) return -1;
  return header["code"].GetInt64();
}

}  // namespace vadoctl
