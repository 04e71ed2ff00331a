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
