// The application list (command 501) of a device with many apps, end to end: vadoctl's
// protocol library drives a real agent against the simulator and times each request
// from sending to the result. In the same run, `ideviceinstaller -l` lists the same
// device's apps, timed as a whole process.
//
//   build/bin/bench_app_list [--apps N] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>

#include "bench_agent.h"
#include "process_figures.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds of this process's children that have ended and been waited for.
double ReapedChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t apps = 300;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--apps") == 0) apps = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  devsim::DeviceSpec farm_device;
  farm_device.seed = 7;
  farm_device.apps = apps;
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  const std::string& udid = run.device.udid;
  vadoctl::FrontEndLink& link = run.link;
  devsim::testing::SimHarness& sim = run.sim;
  vadoctl::AgentProcess& agent = run.agent;
  const std::string header = vadoctl::DeviceHeader(run.device);
  std::fprintf(stderr, "device %s arrived\n", udid.c_str());

  double best_agent = 1e9, total_agent = 0, best_tool = 1e9, total_tool = 0, cpu_agent = 0, cpu_tool = 0;
  size_t listed = 0;
  for (int round = 0; round < rounds; ++round) {
    size_t count = 0;
    const double cpu_before = ChildrenCpuSeconds();
    auto start = Clock::now();
    vadoctl::RequestOutcome outcome = vadoctl::RunRequest(
        link, 501, 100 + round, header, "",
        [&](const vadoctl::AgentMessage& m, const rapidjson::Document& h) {
          auto stage = h.IsObject() ? h.FindMember("stage") : h.MemberEnd();
          if (stage != h.MemberEnd() && stage->value.IsInt() && stage->value.GetInt() == 1) ++count;
        },
        std::chrono::seconds(120));
    double agent_s = Seconds(Clock::now() - start);
    cpu_agent += ChildrenCpuSeconds() - cpu_before;
    if (!outcome.answered || outcome.code != 0 || count != apps) {
      std::fprintf(stderr, "501 failed: answered %d code %lld, %zu apps\n", outcome.answered,
                   static_cast<long long>(outcome.code), count);
      return 1;
    }
    listed = count;
    std::fprintf(stderr, "round %d: agent %.3f s\n", round, agent_s);
    best_agent = std::min(best_agent, agent_s);
    total_agent += agent_s;

    const double tool_cpu_before = ChildrenCpuSeconds() + ReapedChildrenCpuSeconds();
    start = Clock::now();
    devsim::testing::ToolResult tool = sim.Run({"ideviceinstaller", "-u", udid, "-l"}, 120);
    double tool_s = Seconds(Clock::now() - start);
    cpu_tool += ChildrenCpuSeconds() + ReapedChildrenCpuSeconds() - tool_cpu_before;
    if (tool.status != 0) {
      std::fprintf(stderr, "ideviceinstaller failed (%d): %s\n", tool.status, tool.err.c_str());
      return 1;
    }
    std::fprintf(stderr, "round %d: ideviceinstaller %.3f s\n", round, tool_s);
    best_tool = std::min(best_tool, tool_s);
    total_tool += tool_s;
  }
  std::printf("device with %zu user apps, %d rounds (wall time per listing)\n", listed, rounds);
  std::printf("agent 501 via vadoctl protocol: best %.3f s, mean %.3f s\n", best_agent,
              total_agent / rounds);
  std::printf("ideviceinstaller -l (process):  best %.3f s, mean %.3f s\n", best_tool,
              total_tool / rounds);
  std::printf("CPU per listing: agent+simulator %.3f s, ideviceinstaller+simulator %.3f s\n",
              cpu_agent / rounds, cpu_tool / rounds);
  agent.Stop();
  return 0;
}
