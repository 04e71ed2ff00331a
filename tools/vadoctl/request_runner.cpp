#include "request_runner.h"

#include "common/json_text.h"

namespace vadoctl {
namespace {

using Clock = std::chrono::steady_clock;

int64_t HeaderInt(const rapidjson::Document& header, const char* key) {
  if (!header.IsObject()) return 0;
  auto it = header.FindMember(key);
  return it != header.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : 0;
}

bool Stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

}  // namespace

std::optional<DeviceChoice> WaitForDevice(FrontEndLink& link, const std::string& udid,
                                          std::chrono::milliseconds timeout,
                                          const std::atomic<bool>* stop,
                                          const LinkObserver& observer) {
  const auto deadline = Clock::now() + timeout;
  while (!Stopped(stop) && !link.closed() && Clock::now() < deadline) {
    auto message = link.Receive(std::chrono::milliseconds(100));
    if (message && observer) observer(*message);
    if (!message || message->kind != 2 || message->command_id != 0) continue;
    rapidjson::Document header;
    header.Parse(message->header.c_str());
    if (!header.IsObject() || !header.HasMember("uuid") || !header["uuid"].IsString()) continue;
    auto info = header.FindMember("info");
    // Arrivals carry the device's description; departures only the agent's process id.
    if (info == header.MemberEnd() || !info->value.IsObject() || !info->value.HasMember("Model")) {
      continue;
    }
    std::string id = header["uuid"].GetString();
    if (!udid.empty() && id != udid) continue;
    return DeviceChoice{id, HeaderInt(header, "code")};
  }
  return std::nullopt;
}

std::string DeviceHeader(const DeviceChoice& device) {
  return "{\"uuid\":" + JsonQuote(device.udid) + ",\"code\":" + std::to_string(device.handle) + "}";
}

bool IsRequestResult(const AgentMessage& message, const rapidjson::Document& header) {
  if (message.kind == 1 || message.kind == 5) return true;
  return message.kind == 6 && HeaderInt(header, "code") != 0;
}

RequestOutcome RunRequest(FrontEndLink& link, uint32_t command_id, uint64_t task_id,
                          std::string_view header_json, std::string_view body,
                          const MessageSink& sink, std::chrono::milliseconds timeout,
                          const std::atomic<bool>* stop, const LinkObserver& observer) {
  if (!link.Send(command_id, task_id, 0, BuildRequestPayload(header_json, body, false))) {
    return RequestOutcome{};
  }
  return AwaitResult(link, command_id, task_id, sink, timeout, stop, observer);
}

RequestOutcome AwaitResult(FrontEndLink& link, uint32_t command_id, uint64_t task_id,
                           const MessageSink& sink, std::chrono::milliseconds timeout,
                           const std::atomic<bool>* stop, const LinkObserver& observer) {
  RequestOutcome outcome;
  const auto deadline = Clock::now() + timeout;
  while (!Stopped(stop) && !link.closed() && Clock::now() < deadline) {
    auto message = link.Receive(std::chrono::milliseconds(100));
    if (message && observer) observer(*message);
    if (!message || message->task_id != task_id) continue;
    // Status notifications travel on task 0 as kind 1: never a request's result.
    if (task_id == 0 && message->kind == 1) continue;
    rapidjson::Document header;
    header.Parse(message->header.c_str());
    // A request's data may come under related command ids (a contact list sends its
    // groups as 101), so only the result must carry the request's own.
    if (IsRequestResult(*message, header) &&
        (command_id == kAnyCommand || message->command_id == command_id)) {
      outcome.answered = true;
      outcome.kind = message->kind;
      outcome.code = HeaderInt(header, "code");
      outcome.header = message->header;
      return outcome;
    }
    if (sink) sink(*message, header);
  }
  return outcome;
}

}  // namespace vadoctl
