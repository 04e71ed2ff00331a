#include "device_session.h"

#include <cstdio>

#include "readable_message.h"

namespace vadoctl {
namespace {

using std::chrono::milliseconds;

std::atomic<bool> g_interrupted{false};

}  // namespace

const std::atomic<bool>& InterruptFlag() { return g_interrupted; }
bool Interrupted() { return g_interrupted; }
void SetInterrupted() { g_interrupted = true; }

DeviceSession::~DeviceSession() {
  if (agent_.pid() > 0) agent_.Stop();
}

bool DeviceSession::Open(const CliOptions& options, std::string* error, bool wait_for_device) {
  if (options.simulator && !devices_.Ensure(options.farm, error)) return false;
  if (!devices_.found().empty()) std::fprintf(stderr, "vadoctl: %s\n", devices_.found().c_str());
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
  timeout_ = milliseconds(options.request_timeout_ms);
  if (!wait_for_device) return true;
  // A device that waits for trust or is locked is reported while we wait for it.
  std::string problem;
  auto report = [&problem](const AgentMessage& message) {
    if (!IsDeviceProblem(message)) return;
    std::optional<std::string> text = DescribeMessage(message);
    if (!text || *text == problem) return;
    problem = *text;
    std::fprintf(stderr, "vadoctl: %s\n", problem.c_str());
  };
  std::optional<DeviceChoice> device = WaitForDevice(
      link_, options.udid, milliseconds(options.device_wait_ms), &g_interrupted, report);
  if (!device) {
    *error = options.udid.empty() ? "no device arrived" : "device " + options.udid + " did not arrive";
    if (!problem.empty()) *error += " (" + problem + ")";
    return false;
  }
  device_ = *device;
  return true;
}

RequestOutcome DeviceSession::Run(uint32_t command_id, const std::string& body,
                                  const MessageSink& sink, const std::string& header_info) {
  std::string header = DeviceHeader(device_);
  if (!header_info.empty()) header.insert(header.size() - 1, ",\"info\":" + header_info);
  return RunRequest(link_, command_id, next_task_++, header, body, sink, timeout_, &g_interrupted);
}

}  // namespace vadoctl
