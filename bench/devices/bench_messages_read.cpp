// Listing a large message database end to end: the simulator serves a device with many
// messages in many conversations, the agent gets the database once with command 201
// ("command" 0, a restricted backup) and then lists the copy it holds ("command" 2) over
// the front-end protocol. Each round reports the wall time from request to result and the
// agent's peak resident memory, beside the sqlite3 command-line program running the
// module's message statement with JSON output on the same file, and the ratio of the two.
//
//   build/bin/bench_messages_read [--messages N] [--chats M] [--rounds R]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <rapidjson/document.h>

#include "bench_agent.h"
#include "process_figures.h"
#include "utility/module/sms/sms_database.h"

namespace {

using std::chrono::milliseconds;

struct Round {
  int64_t code = -1;
  size_t conversations = 0;
  size_t messages = 0;
  std::string path;
  double seconds = 0;
};

Round List(BenchAgent& run, uint64_t task, int way) {
  Round round;
  const auto start = std::chrono::steady_clock::now();
  const std::string header = "{\"uuid\":\"" + run.device.udid + "\",\"info\":{\"command\":" +
                             std::to_string(way) + "}}";
  round.code = run.Request(201, task, header, [&](const rapidjson::Document& h,
                                                  const std::string& body) {
    if (!h.HasMember("stage")) return;
    if (h["stage"].GetInt64() == -1) round.path = h["info"].GetString();
    if (h["stage"].GetInt64() != 1 || !h.HasMember("info") || !h["info"].IsObject()) return;
    if (h["code"].GetInt64() == 0) {
      ++round.conversations;
    } else {
      round.messages += CountOccurrences(body, "{\"id\":");  // each message starts so
    }
  });
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  uint64_t messages = 100000, chats = 2000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--messages") == 0) messages = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--chats") == 0) chats = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  devsim::DeviceSpec farm_device;
  farm_device.product_version = "12.4";
  farm_device.media_files = 2;
  farm_device.sms.messages = messages;
  farm_device.sms.chats = chats;
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  Round first = List(run, 100, 0);
  std::printf("messages=%llu chats=%llu backup: code=%lld wall=%.3f s conversations=%zu\n",
              static_cast<unsigned long long>(messages), static_cast<unsigned long long>(chats),
              static_cast<long long>(first.code), first.seconds, first.conversations);
  if (first.code != 0) return 1;
  for (int r = 0; r < rounds; ++r) {
    const double cpu_before = ProcessCpuSeconds(run.agent.pid());
    Round round = List(run, 200 + r, 2);
    const double agent_cpu = ProcessCpuSeconds(run.agent.pid()) - cpu_before;
    const ToolRun cli = RunSqliteJson(first.path, kSmsMessageStatement);
    std::printf("round %d: code=%lld conversations=%zu messages=%zu agent_wall=%.3f s "
                "agent_cpu=%.3f s agent_peak_kib=%ld sqlite3_json_wall=%.3f s "
                "sqlite3_json_cpu=%.3f s wall_ratio=%.2f cpu_ratio=%.2f\n",
                r, static_cast<long long>(round.code), round.conversations, round.messages,
                round.seconds, agent_cpu, StatusKib(run.agent.pid(), "VmHWM"), cli.wall, cli.cpu,
                cli.wall > 0 ? round.seconds / cli.wall : 0.0,
                cli.cpu > 0 ? agent_cpu / cli.cpu : 0.0);
  }
  run.agent.Stop();
  return 0;
}
