// Reading every contact of a device end to end: the simulator serves a farm device with
// many contacts (each with its phone numbers, e-mail addresses and other values), the agent
// reads them with command 100, and the run reports the wall time from request to result
// and the agent's peak resident memory (VmHWM).
//
//   build/bin/bench_contacts_read [--contacts N] [--rounds R]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>
#include <string>

#include <rapidjson/document.h>

#include "bench_agent.h"
#include "process_figures.h"

namespace {

using std::chrono::milliseconds;

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  uint64_t contacts = 10000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--contacts") == 0) contacts = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  devsim::DeviceSpec farm_device;
  farm_device.sync.contacts = contacts;
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  const std::string& udid = run.device.udid;
  vadoctl::FrontEndLink& link = run.link;
  vadoctl::AgentProcess& agent = run.agent;
  const long idle_kib = StatusKib(agent.pid(), "VmHWM");
  std::printf("contacts=%llu rounds=%d agent_pid=%d peak_before_kib=%ld\n",
              static_cast<unsigned long long>(contacts), rounds, agent.pid(), idle_kib);
  for (int round = 0; round < rounds; ++round) {
    const uint64_t task = 100 + round;
    const double cpu_before = ProcessCpuSeconds(agent.pid());
    const auto start = std::chrono::steady_clock::now();
    link.Send(100, task, 0, vadoctl::BuildRequestPayload("{\"uuid\":\"" + udid + "\"}", "", false));
    size_t messages = 0, read = 0, children = 0;
    int64_t code = -1;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(600)) {
      auto m = link.Receive(milliseconds(100));
      if (!m || m->task_id != task) continue;
      if (m->kind != 2) {
        rapidjson::Document h;
        h.Parse(m->header.c_str());
        code = h["code"].GetInt64();
        break;
      }
      ++messages;
      if (m->command_id != 100 || m->body.empty()) continue;
      rapidjson::Document body;
      body.Parse(m->body.c_str());
      for (const auto& c : body.GetObject()) {
        ++read;
        for (const auto& f : c.value.GetObject()) {
          if (f.value.IsArray()) children += f.value.Size();
        }
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("round %d: code=%lld contacts=%zu children=%zu messages=%zu wall=%.3f s "
                "agent_cpu=%.2f s peak_kib=%ld rss_after_kib=%ld\n",
                round, static_cast<long long>(code), read, children, messages, seconds,
                ProcessCpuSeconds(agent.pid()) - cpu_before, StatusKib(agent.pid(), "VmHWM"),
                StatusKib(agent.pid(), "VmRSS"));
  }
  agent.Stop();
  return 0;
}
