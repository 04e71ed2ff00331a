// Listing a large message database end to end: the simulator serves a device with many
// messages in many conversations, the agent gets the database once with command 201
// ("command" 0, a restricted backup) and then lists the copy it holds ("command" 2) over
// the front-end protocol. Each round reports the wall time from request to result and the
// agent's peak resident memory, beside the sqlite3 command-line program running the
// module's message statement with JSON output on the same file, and the ratio of the two.
//
//   build/bin/bench_messages_read [--messages N] [--chats M] [--rounds R]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <rapidjson/document.h>

#include "bench_agent.h"
#include "utility/module/sms/sms_database.h"

namespace {

using std::chrono::milliseconds;

long PeakKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

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
  run.link.Send(201, task, 0,
                vadoctl::BuildRequestPayload("{\"uuid\":\"" + run.device.udid +
                                                 "\",\"info\":{\"command\":" +
                                                 std::to_string(way) + "}}",
                                             "", false));
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(900)) {
    auto m = run.link.Receive(milliseconds(100));
    if (!m || m->task_id != task) continue;
    rapidjson::Document h;
    h.Parse(m->header.c_str());
    if (m->kind != 2) {
      round.code = h["code"].GetInt64();
      break;
    }
    if (!h.HasMember("stage")) continue;
    if (h["stage"].GetInt64() == -1) round.path = h["info"].GetString();
    if (h["stage"].GetInt64() != 1 || !h.HasMember("info") || !h["info"].IsObject()) continue;
    if (h["code"].GetInt64() == 0) {
      ++round.conversations;
    } else {
      rapidjson::Document body;
      body.Parse(m->body.c_str());
      if (body.IsArray()) round.messages += body.Size();
    }
  }
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return round;
}

// Seconds sqlite3 -json takes to run the module's message statement on `path`.
double SqliteCli(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    ::execlp("sqlite3", "sqlite3", "-json", "-readonly", path.c_str(), kSmsMessageStatement,
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    Round round = List(run, 200 + r, 2);
    const double cli = SqliteCli(first.path);
    std::printf("round %d: code=%lld conversations=%zu messages=%zu agent_wall=%.3f s "
                "agent_peak_kib=%ld sqlite3_json_wall=%.3f s ratio=%.2f\n",
                r, static_cast<long long>(round.code), round.conversations, round.messages,
                round.seconds, PeakKib(run.agent.pid()), cli, cli > 0 ? round.seconds / cli : 0.0);
  }
  run.agent.Stop();
  return 0;
}
