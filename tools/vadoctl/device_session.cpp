#include "device_session.h"

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

bool DeviceSession::Open(const CliOptions& options, std::string* error) {
  if (options.simulator && !devices_.Ensure(options.farm, error)) return false;
  if (devices_.started()) {
    std::fprintf(stderr, "vadoctl: no device service was running; started the simulator\n");
  }
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
  std::optional<DeviceChoice> device =
      WaitForDevice(link_, options.udid, milliseconds(options.device_wait_ms), &g_interrupted);
  if (!device) {
    *error = options.udid.empty() ? "no device arrived" : "device " + options.udid + " did not arrive";
    return false;
  }
  device_ = *device;
  return true;
}

RequestOutcome DeviceSession::Run(uint32_t command_id, const std::string& body,
                                  const MessageSink& sink) {
  return RunRequest(link_, command_id, next_task_++, DeviceHeader(device_), body, sink, timeout_,
                    &g_interrupted);
}

RequestOutcome DeviceSession::Run(uint32_t command_id, const std::string& body,
                                  const MessageSink& sink, const std::string& info) {
  std::string header = DeviceHeader(device_);
  header.pop_back();
  header += ",\"info\":" + info + "}";
  return RunRequest(link_, command_id, next_task_++, header, body, sink, timeout_, &g_interrupted);
}

}  // namespace vadoctl
