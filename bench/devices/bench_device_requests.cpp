// Device requests across many devices, end to end through vadoctl's protocol library:
//   - the time until N devices plugged in at once have all arrived (been made ready);
//   - device information (300) for one device, then for all N devices at once;
//   - the simulator's count of TLS handshakes per 300 request, when it reports one;
//   - both request figures again with every lockdown reply delayed (a device on a cable).
//
//   build/bin/bench_device_requests [--devices N] [--rounds R] [--latency-ms MS (2; 0: skip)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "agent_process.h"
#include "common/thread_pool.h"
#include "process_figures.h"
#include "frontend_link.h"
#include "request_runner.h"
#include "sim_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kInfo = 300;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Arrivals of the given devices until all came or `timeout` passed; handles by udid.
bool WaitForArrivals(vadoctl::FrontEndLink& link, const std::set<std::string>& udids,
                     std::map<std::string, int64_t>* handles, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (handles->size() < udids.size() && Clock::now() < deadline && !link.closed()) {
    auto message = link.Receive(std::chrono::milliseconds(100));
    if (!message || message->kind != 2 || message->command_id != 0) continue;
    rapidjson::Document header;
    header.Parse(message->header.c_str());
    if (!header.IsObject() || !header.HasMember("uuid") || !header["uuid"].IsString()) continue;
    auto info = header.FindMember("info");
    if (info == header.MemberEnd() || !info->value.IsObject() || !info->value.HasMember("Model")) {
      continue;
    }
    std::string udid = header["uuid"].GetString();
    if (udids.count(udid) && header["code"].IsInt64()) (*handles)[udid] = header["code"].GetInt64();
  }
  return handles->size() == udids.size();
}

// Sends 300 to every device at once and waits for every result; false on a failure.
bool InfoForAll(vadoctl::FrontEndLink& link, const std::map<std::string, int64_t>& handles,
                uint64_t first_task) {
  std::set<uint64_t> waiting;
  uint64_t task = first_task;
  for (const auto& [udid, handle] : handles) {
    std::string header = vadoctl::DeviceHeader({udid, handle});
    link.Send(kInfo, task, 0, vadoctl::BuildRequestPayload(header, "", false));
    waiting.insert(task++);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (!waiting.empty() && Clock::now() < deadline && !link.closed()) {
    auto message = link.Receive(std::chrono::milliseconds(100));
    if (!message || !waiting.count(message->task_id)) continue;
    rapidjson::Document header;
    header.Parse(message->header.c_str());
    if (!vadoctl::IsRequestResult(*message, header)) continue;
    if (message->kind != 1) {
      std::fprintf(stderr, "300 for task %llu failed: %s\n",
                   static_cast<unsigned long long>(message->task_id), message->header.c_str());
      return false;
    }
    waiting.erase(message->task_id);
  }
  return waiting.empty();
}

// The TLS handshakes the simulator counted for a device, when it reports them (-1 otherwise).
long long Handshakes(devsim::testing::SimHarness& sim, const std::string& udid) {
  devsim::testing::ToolResult status = sim.Control({"stats", udid});
  if (status.status != 0) return -1;
  const std::string key = "handshakes";
  size_t at = status.out.find(key);
  if (at == std::string::npos) return -1;
  at = status.out.find_first_of("0123456789", at + key.size());
  return at == std::string::npos ? -1 : std::atoll(status.out.c_str() + at);
}

// Medians and CPU figures of one series of rounds: 300 for one device, then for all.
struct Figures {
  double one = 0, all = 0;                  // median wall seconds
  double cpu_one = 0, cpu_all = 0;          // agent and simulator, summed over the rounds
  double agent_cpu_one = 0, agent_cpu_all = 0;
};

// Wall seconds of each round of 300 for every device in `devices` at once.
bool TimeRounds(vadoctl::FrontEndLink& link, const std::map<std::string, int64_t>& devices,
                int rounds, uint64_t* task, std::vector<double>* walls) {
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    if (!InfoForAll(link, devices, *task)) return false;
    walls->push_back(Seconds(Clock::now() - start));
    *task += devices.size();
  }
  return true;
}

bool Measure(vadoctl::FrontEndLink& link, pid_t agent, const std::map<std::string, int64_t>& first,
             const std::map<std::string, int64_t>& all, int rounds, uint64_t* task, Figures* out) {
  std::vector<double> one_walls, all_walls;
  double cpu_start = ChildrenCpuSeconds();
  double agent_start = ProcessCpuSeconds(agent);
  if (!TimeRounds(link, first, rounds, task, &one_walls)) return false;
  out->cpu_one = ChildrenCpuSeconds() - cpu_start;
  out->agent_cpu_one = ProcessCpuSeconds(agent) - agent_start;
  cpu_start = ChildrenCpuSeconds();
  agent_start = ProcessCpuSeconds(agent);
  if (!TimeRounds(link, all, rounds, task, &all_walls)) return false;
  out->cpu_all = ChildrenCpuSeconds() - cpu_start;
  out->agent_cpu_all = ProcessCpuSeconds(agent) - agent_start;
  out->one = Median(one_walls);
  out->all = Median(all_walls);
  return true;
}

void Report(const Figures& f, size_t devices, int rounds) {
  std::printf("300 for 1 device:          median %.3f s of %d rounds\n", f.one, rounds);
  std::printf("300 for %zu devices at once: median %.3f s of %d rounds (%.1fx one; target < 2x)\n",
              devices, f.all, rounds, f.all / std::max(f.one, 1e-9));
  // Work per request of the agent and the simulator together: when it times the number of
  // requests approaches the machine's cores times the wall time, the run is CPU-bound.
  const double per_all = static_cast<double>(rounds) * devices;
  std::printf("agent+simulator CPU per 300: %.1f ms alone, %.1f ms with %zu at once\n",
              1e3 * f.cpu_one / rounds, 1e3 * f.cpu_all / per_all, devices);
  std::printf("  of which the agent:         %.1f ms alone, %.1f ms with %zu at once\n",
              1e3 * f.agent_cpu_one / rounds, 1e3 * f.agent_cpu_all / per_all, devices);
  std::printf("  %zu at once on %ld cores cannot take less than %.3f s\n", devices,
              sysconf(_SC_NPROCESSORS_ONLN), f.cpu_all / rounds / sysconf(_SC_NPROCESSORS_ONLN));
}

}  // namespace

int main(int argc, char** argv) {
  int devices = 20;
  int rounds = 5;
  int latency_ms = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--latency-ms") == 0) latency_ms = std::max(0, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--devices") == 0) devices = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  devsim::testing::SimHarness sim;
  // The daemon starts with one device so that the agent's start-up is not timed.
  devsim::DeviceSpec first;
  first.seed = 1000;
  std::string first_udid = sim.AddDevice(first);
  if (first_udid.empty() || !sim.Start()) {
    std::fprintf(stderr, "the simulator did not start\n");
    return 1;
  }
  sim.ExportSocket();
  setenv("TMPDIR", sim.dir().c_str(), 1);
  vadoctl::FrontEndLink link;
  vadoctl::AgentProcess agent;
  vadoctl::AgentLaunch launch;
  launch.executable = VADO_AGENT_PATH;
  launch.gui_port = link.Listen();
  launch.console = false;
  std::string error;
  if (launch.gui_port < 0 || !agent.Start(launch, &error) ||
      !link.Accept(std::chrono::seconds(15))) {
    std::fprintf(stderr, "the agent did not start: %s\n", error.c_str());
    return 1;
  }
  std::map<std::string, int64_t> first_handle;
  if (!WaitForArrivals(link, {first_udid}, &first_handle, std::chrono::seconds(30))) {
    std::fprintf(stderr, "the first device did not arrive\n");
    return 1;
  }

  // The others are plugged in at once.
  std::set<std::string> plugged;
  for (int i = 1; i < devices; ++i) {
    devsim::DeviceSpec wanted;
    wanted.seed = 1000 + static_cast<uint64_t>(i);
    std::string udid = sim.AddDevice(wanted);
    if (udid.empty()) return 1;
    plugged.insert(udid);
  }
  auto start = Clock::now();
  for (const std::string& udid : plugged) sim.Control({"plug", udid});
  std::map<std::string, int64_t> handles;
  if (!WaitForArrivals(link, plugged, &handles, std::chrono::seconds(120))) {
    std::fprintf(stderr, "only %zu of %zu devices arrived\n", handles.size(), plugged.size());
    return 1;
  }
  const double ready_s = Seconds(Clock::now() - start);
  handles.insert(first_handle.begin(), first_handle.end());

  uint64_t task = 1;
  long long handshakes_before = Handshakes(sim, first_udid);
  Figures plain;
  if (!Measure(link, agent.pid(), first_handle, handles, rounds, &task, &plain)) return 1;
  long long handshakes_after = Handshakes(sim, first_udid);
  std::printf("%zu devices plugged in at once, all ready after %.3f s (target < 5 s)\n",
              plugged.size(), ready_s);
  Report(plain, handles.size(), rounds);
  if (handshakes_before >= 0 && handshakes_after >= 0) {
    // Measured over the one-device rounds, which come first.
    std::printf("TLS handshakes per 300 request: %.1f\n",
                static_cast<double>(handshakes_after - handshakes_before) / rounds);
  } else {
    std::printf("TLS handshakes per 300 request: not reported by this simulator\n");
  }
  if (latency_ms > 0) {
    // The simulator answers at once, so the runs above are bound by this machine's cores:
    // 20 requests cost 20 times the work. A device on a cable takes a while for each
    // lockdown reply; with that the requests of different devices overlap their waiting.
    for (const auto& [udid, handle] : handles) {
      sim.Control({"fault", udid, "lockdown-latency", std::to_string(latency_ms)});
    }
    Figures slow;
    if (!Measure(link, agent.pid(), first_handle, handles, rounds, &task, &slow)) return 1;
    std::printf("with %d ms per lockdown reply:\n", latency_ms);
    Report(slow, handles.size(), rounds);
    // One of the pool's workers serves the device loop for good; the others take requests.
    const size_t workers = BASThreadPool::kDefaultWorkers - 1;
    const size_t waves = (handles.size() + workers - 1) / workers;
    std::printf("  the agent serves %zu requests at a time, so %zu requests take at least "
                "%zu times one\n", workers, handles.size(), waves);
  }
  agent.Stop();
  return 0;
}
