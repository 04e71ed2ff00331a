// A full backup of a device with 2,000 generated files totalling 1 GiB, made by the agent
// (command 1600, end to end over the front-end link) and by idevicebackup2 in the same
// run: throughput of each, their ratio, and the agent's peak memory.
//
//   build/bin/bench_backup [--files N] [--mib M] [--rounds R]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <rapidjson/document.h>

#include "bench_agent.h"
#include "common/json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// VmHWM of a process in KiB (0 when unreadable).
long PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

uint64_t BytesBelow(const fs::path& folder) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

// Runs 1600 into `root`; true when it ended with code 0.
bool AgentBackup(vadoctl::FrontEndLink& link, const std::string& udid, int64_t handle,
                 const fs::path& root, uint64_t task) {
  const std::string header =
      "{\"uuid\":" + JsonQuote(udid) + ",\"code\":" + std::to_string(handle) + "}";
  const std::string body = "{\"path\":" + JsonQuote(root.string()) + "}";
  if (!link.Send(1600, task, 0, vadoctl::BuildRequestPayload(header, body, false))) return false;
  const auto deadline = std::chrono::steady_clock::now() + 600s;
  while (std::chrono::steady_clock::now() < deadline && !link.closed()) {
    auto message = link.Receive(200ms);
    if (!message || message->task_id != task) continue;
    if (message->kind == 1 || message->kind == 5 || message->kind == 6) {
      rapidjson::Document result;
      result.Parse(message->header.c_str());
      return result.IsObject() && result["code"].GetInt64() == 0;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t files = 2000, mib = 1024;
  int rounds = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--files")) files = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
  }
  devsim::DeviceSpec farm_device;
  farm_device.media_files = 0;
  farm_device.backup_files = files;
  farm_device.backup_bytes = mib << 20;
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  const std::string& udid = run.device.udid;
  const int64_t handle = run.device.handle;
  vadoctl::FrontEndLink& link = run.link;
  devsim::testing::SimHarness& sim = run.sim;
  vadoctl::AgentProcess& agent = run.agent;

  std::printf("backup of %llu files, %llu MiB\n", static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(mib));
  for (int round = 0; round < rounds; ++round) {
    const fs::path tool_root = sim.dir() / ("tool" + std::to_string(round));
    const fs::path agent_root = sim.dir() / ("agent" + std::to_string(round));
    fs::create_directories(tool_root);

    auto start = std::chrono::steady_clock::now();
    devsim::testing::ToolResult tool =
        sim.Run({"idevicebackup2", "-u", udid, "backup", "--full", tool_root.string()}, 900);
    const double tool_s = Seconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    const bool ok = AgentBackup(link, udid, handle, agent_root, 100 + round);
    const double agent_s = Seconds(std::chrono::steady_clock::now() - start);
    if (tool.status != 0 || !ok) {
      std::fprintf(stderr, "backup failed (tool %d, agent %d)\n", tool.status, ok);
      return 1;
    }
    const double tool_mb = static_cast<double>(BytesBelow(tool_root)) / 1e6;
    const double agent_mb = static_cast<double>(BytesBelow(agent_root)) / 1e6;
    std::printf("round %d: idevicebackup2 %.0f MB in %.2f s = %.1f MB/s; agent %.0f MB in %.2f s "
                "= %.1f MB/s; ratio %.2f; agent peak memory %.1f MiB\n",
                round + 1, tool_mb, tool_s, tool_mb / tool_s, agent_mb, agent_s,
                agent_mb / agent_s, (agent_mb / agent_s) / (tool_mb / tool_s),
                static_cast<double>(PeakKiB(agent.pid())) / 1024.0);
    fs::remove_all(tool_root);
    fs::remove_all(agent_root);
  }
  agent.Stop();
  return 0;
}
