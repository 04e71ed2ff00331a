// Driving one request through the agent: wait for a device, send the request with the
// device named in its header, and pass every message of the request's task on until the
// module's result arrives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "frontend_link.h"

namespace vadoctl {

struct DeviceChoice {
  std::string udid;
  int64_t handle = 0;
};

// Called with every message read from the link, whatever its task, before it is judged.
using LinkObserver = std::function<void(const AgentMessage&)>;

// The first device arrival naming `udid` (any device when empty) within `timeout`.
std::optional<DeviceChoice> WaitForDevice(FrontEndLink& link, const std::string& udid,
                                          std::chrono::milliseconds timeout,
                                          const std::atomic<bool>* stop = nullptr,
                                          const LinkObserver& observer = {});

// {"uuid":"<udid>","code":<handle>}
std::string DeviceHeader(const DeviceChoice& device);

// The module's result for a request, told apart from the per-application final messages
// of installs: kind 1 or 5, or kind 6 with a non-zero code (a per-application failure is
// a kind-6 message with code 0; success of one is kind 7).
bool IsRequestResult(const AgentMessage& message, const rapidjson::Document& header);

struct RequestOutcome {
  bool answered = false;  // the result arrived
  uint16_t kind = 0;
  int64_t code = 0;
  std::string header;     // the result's header object (its "info" says why it failed)
};

// Called for every message of the request's task before the result (whatever its command
// id), with its parsed header object.
using MessageSink = std::function<void(const AgentMessage&, const rapidjson::Document&)>;

// Sends `body` (JSON text, compressed; empty for none) with `header_json` and waits for
// the result. `answered` is false on a timeout, a closed link or `stop`.
RequestOutcome RunRequest(FrontEndLink& link, uint32_t command_id, uint64_t task_id,
                          std::string_view header_json, std::string_view body,
                          const MessageSink& sink, std::chrono::milliseconds timeout,
                          const std::atomic<bool>* stop = nullptr,
                          const LinkObserver& observer = {});

// The waiting half of RunRequest, for a request already sent: reads until the result of
// `task_id` arrives (of `command_id` only, unless it is kAnyCommand).
constexpr uint32_t kAnyCommand = UINT32_MAX;
RequestOutcome AwaitResult(FrontEndLink& link, uint32_t command_id, uint64_t task_id,
                           const MessageSink& sink, std::chrono::milliseconds timeout,
                           const std::atomic<bool>* stop = nullptr,
                           const LinkObserver& observer = {});

}  // namespace vadoctl
