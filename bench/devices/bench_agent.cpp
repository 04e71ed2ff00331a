#include "bench_agent.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>

bool BenchAgent::Start(const devsim::DeviceSpec& wanted) {
  const std::string udid = sim.AddDevice(wanted);
  if (udid.empty() || !sim.Start()) {
    std::fprintf(stderr, "the simulator did not start\n");
    return false;
  }
  sim.ExportSocket();
  setenv("TMPDIR", sim.dir().c_str(), 1);
  vadoctl::AgentLaunch launch;
  launch.executable = VADO_AGENT_PATH;
  launch.gui_port = link.Listen();
  launch.console = false;
  std::string error;
  if (launch.gui_port < 0 || !agent.Start(launch, &error) ||
      !link.Accept(std::chrono::seconds(15))) {
    std::fprintf(stderr, "the agent did not start: %s\n", error.c_str());
    return false;
  }
  auto arrived = vadoctl::WaitForDevice(link, udid, std::chrono::seconds(30));
  if (!arrived) {
    std::fprintf(stderr, "the device did not arrive\n");
    return false;
  }
  device = *arrived;
  return true;
}

int64_t BenchAgent::Request(
    uint32_t command, uint64_t task, const std::string& header_json,
    const std::function<void(const rapidjson::Document&, const std::string&)>& on_progress) {
  const auto start = std::chrono::steady_clock::now();
  link.Send(command, task, 0, vadoctl::BuildRequestPayload(header_json, "", false));
  while (std::chrono::steady_clock::now() - start < std::chrono::minutes(15)) {
    auto m = link.Receive(std::chrono::milliseconds(100));
    if (!m || m->task_id != task) continue;
    rapidjson::Document header;
    header.Parse(m->header.c_str());
    if (!header.IsObject()) continue;
    if (m->kind != 2) {
      return header.HasMember("code") && header["code"].IsInt64() ? header["code"].GetInt64()
                                                                  : -1;
    }
    on_progress(header, m->body);
  }
  return -1;
}

size_t CountOccurrences(const std::string& text, std::string_view marker) {
  size_t count = 0;
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    ++count;
  }
  return count;
}
