// Round trips of command 600 (cancel, here of a task that does not exist) through a real agent
// process: first one request at a time, then with a fixed number in flight. Prints requests per
// second and p50/p99 latency for each phase.
//
//   bench_roundtrip [--requests N] [--inflight N] [--warmup N] [--agent PATH] [--log]
#include <rapidjson/document.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "common/number_parse.h"
#include "frontend_link.h"
#include "latency_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kCommand = 600;
constexpr char kHeader[] = R"({"uuid":"","code":5})";
// A reply slower than this means the agent is stuck or gone; the run fails.
constexpr std::chrono::milliseconds kReplyTimeout{5000};
// Readiness probes use task ids from here on, so a late answer to one is never taken for a
// measured request.
constexpr uint64_t kProbeTaskBase = 1ull << 40;
constexpr int kProbeAttempts = 100;
constexpr std::chrono::milliseconds kProbeWait{100};
constexpr double kSequentialTarget = 5000;  // round trips per second
constexpr double kInFlightP99TargetUs = 2000;

struct Options {
  int requests = 20000;
  int inflight = 100;
  int warmup = 2000;
  std::string agent;
  bool log = false;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--requests" && has_value) {
      options.requests = ParseLeadingInt(argv[++i]);
    } else if (arg == "--inflight" && has_value) {
      options.inflight = ParseLeadingInt(argv[++i]);
    } else if (arg == "--warmup" && has_value) {
      options.warmup = ParseLeadingInt(argv[++i]);
    } else if (arg == "--agent" && has_value) {
      options.agent = argv[++i];
    } else if (arg == "--log") {
      options.log = true;
    } else {
      return std::nullopt;
    }
  }
  if (options.requests <= 0 || options.inflight <= 0 || options.warmup < 0) return std::nullopt;
  return options;
}

// The expected answer: a result (kind 1) for this command whose header carries code 0.
bool IsSuccessReply(const vadoctl::AgentMessage& message) {
  if (message.kind != 1 || message.command_id != kCommand) return false;
  rapidjson::Document header;
  header.Parse(message.header.c_str());
  if (!header.IsObject()) return false;
  auto code = header.FindMember("code");
  return code != header.MemberEnd() && code->value.IsInt64() && code->value.GetInt64() == 0;
}

class RoundTripBench {
 public:
  explicit RoundTripBench(vadoctl::FrontEndLink& link)
      : link_(link), payload_(vadoctl::BuildRequestPayload(kHeader, "", false)) {}

  // The agent connects before it has registered its modules, and a request that arrives in
  // that window is never answered. Probe until one request is answered, then measure.
  bool WaitUntilServing() {
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
      uint64_t task = kProbeTaskBase + static_cast<uint64_t>(attempt);
      if (!link_.Send(kCommand, task, 0, payload_)) return Fail("send failed");
      Clock::time_point deadline = Clock::now() + kProbeWait;
      while (Clock::now() < deadline) {
        std::optional<vadoctl::AgentMessage> message = link_.Receive(kProbeWait);
        if (link_.closed()) return Fail("the agent closed the link");
        if (message && message->command_id == kCommand) {
          if (attempt > 0) unanswered_probes_ = attempt;
          return true;
        }
      }
    }
    return Fail("the agent never answered command " + std::to_string(kCommand));
  }

  // One request at a time; false (with a message printed) on any failure.
  bool RunSequential(int count, LatencyStats* stats, Clock::duration* elapsed) {
    if (stats) stats->Reserve(static_cast<size_t>(count));
    Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
      uint64_t task = next_task_++;
      Clock::time_point sent = Clock::now();
      if (!link_.Send(kCommand, task, 0, payload_)) return Fail("send failed");
      std::optional<vadoctl::AgentMessage> reply = Await();
      if (!reply) {
        return Fail("sequential: no answer to task " + std::to_string(task) + " after " +
                    std::to_string(i) + " answered");
      }
      if (reply->task_id != task) return Fail("reply for an unexpected task id");
      if (stats) stats->Add(Clock::now() - sent);
    }
    *elapsed = Clock::now() - start;
    return true;
  }

  // Keeps `inflight` requests outstanding until `count` have been answered. Task ids are distinct,
  // so replies are matched by id whatever order they come back in.
  bool RunInFlight(int count, int inflight, LatencyStats* stats, Clock::duration* elapsed) {
    stats->Reserve(static_cast<size_t>(count));
    const uint64_t base = next_task_;
    next_task_ += static_cast<uint64_t>(count);
    std::vector<Clock::time_point> sent(static_cast<size_t>(count));
    std::vector<bool> answered(static_cast<size_t>(count), false);
    int issued = 0;
    int done = 0;
    auto issue = [&] {
      sent[static_cast<size_t>(issued)] = Clock::now();
      bool ok = link_.Send(kCommand, base + static_cast<uint64_t>(issued), 0, payload_);
      ++issued;
      return ok;
    };

    Clock::time_point start = Clock::now();
    while (issued < count && issued < inflight) {
      if (!issue()) return Fail("send failed");
    }
    while (done < count) {
      std::optional<vadoctl::AgentMessage> reply = Await();
      if (!reply) return Fail("in flight: " + Outstanding(base, issued, answered, done));
      Clock::time_point now = Clock::now();
      uint64_t index = reply->task_id - base;
      if (reply->task_id < base || index >= static_cast<uint64_t>(issued) || answered[index]) {
        return Fail("reply for an unexpected or already answered task id");
      }
      answered[index] = true;
      stats->Add(now - sent[index]);
      ++done;
      if (issued < count && !issue()) return Fail("send failed");
    }
    *elapsed = Clock::now() - start;
    return true;
  }

  int other_messages() const { return other_messages_; }
  int unanswered_probes() const { return unanswered_probes_; }

 private:
  // The next reply to command 600; other messages (status notices) are counted and skipped.
  std::optional<vadoctl::AgentMessage> Await() {
    while (true) {
      std::optional<vadoctl::AgentMessage> message = link_.Receive(kReplyTimeout);
      if (!message) {
        Fail(link_.closed() ? "the agent closed the link" : "no reply within 5 s");
        return std::nullopt;
      }
      if (message->command_id != kCommand || message->task_id >= kProbeTaskBase) {
        ++other_messages_;
        continue;
      }
      if (!IsSuccessReply(*message)) {
        Fail("unexpected reply: " + message->ToJsonLine());
        return std::nullopt;
      }
      return message;
    }
  }

  // Which requests are still unanswered, for the failure message.
  static std::string Outstanding(uint64_t base, int issued, const std::vector<bool>& answered,
                                 int done) {
    std::string text = std::to_string(done) + " of " + std::to_string(issued) +
                       " issued answered; unanswered task ids:";
    int listed = 0;
    for (int i = 0; i < issued && listed < 20; ++i) {
      if (answered[static_cast<size_t>(i)]) continue;
      text += " " + std::to_string(base + static_cast<uint64_t>(i));
      ++listed;
    }
    return text;
  }

  bool Fail(const std::string& text) {
    std::fprintf(stderr, "bench_roundtrip: %s\n", text.c_str());
    return false;
  }

  vadoctl::FrontEndLink& link_;
  const std::string payload_;
  uint64_t next_task_ = 1;
  int other_messages_ = 0;
  int unanswered_probes_ = 0;
};

int Run(const Options& options) {
  vadoctl::FrontEndLink link;
  if (link.Listen() < 0) {
    std::fprintf(stderr, "bench_roundtrip: cannot listen on 127.0.0.1\n");
    return 1;
  }
  vadoctl::AgentLaunch launch;
  launch.executable = options.agent.empty() ? vadoctl::DefaultAgentPath() : options.agent;
  launch.gui_port = link.port();
  // No console and no log: the figures are for the IPC path, not for log output.
  launch.console = false;
  launch.log = options.log;
  launch.app_folder = "vado-bench";
  launch.product_name = "vado-bench";

  vadoctl::AgentProcess agent;
  std::string error;
  if (!agent.Start(launch, &error)) {
    std::fprintf(stderr, "bench_roundtrip: %s\n", error.c_str());
    return 1;
  }
  if (!link.Accept(std::chrono::seconds(15))) {
    std::fprintf(stderr, "bench_roundtrip: the agent did not connect\n");
    agent.Stop();
    return 1;
  }
  std::printf("agent %d connected on port %d; command %u, header %s\n", agent.pid(), link.port(),
              kCommand, kHeader);

  RoundTripBench bench(link);
  LatencyStats sequential;
  LatencyStats in_flight;
  Clock::duration warmup_time{};
  Clock::duration sequential_time{};
  Clock::duration in_flight_time{};
  bool ok = bench.WaitUntilServing() &&
            bench.RunSequential(options.warmup, nullptr, &warmup_time) &&
            bench.RunSequential(options.requests, &sequential, &sequential_time) &&
            bench.RunInFlight(options.requests, options.inflight, &in_flight, &in_flight_time);

  int status = agent.Stop();
  if (!ok) {
    std::fprintf(stderr, "bench_roundtrip: run failed; agent stopped (status %d)\n", status);
    return 1;
  }

  LatencySummary one = sequential.Summarise(sequential_time);
  LatencySummary many = in_flight.Summarise(in_flight_time);
  std::printf("%s\n", FormatSummary("sequential", one).c_str());
  std::printf("%s\n", FormatSummary(std::to_string(options.inflight) + " in flight", many).c_str());
  std::printf("target sequential >= %.0f req/s: %s\n", kSequentialTarget,
              one.per_second >= kSequentialTarget ? "met" : "MISSED");
  std::printf("target p99 < %.0f us with %d in flight: %s\n", kInFlightP99TargetUs,
              options.inflight, many.p99_us < kInFlightP99TargetUs ? "met" : "MISSED");
  if (bench.unanswered_probes() > 0) {
    std::printf("requests lost at agent start-up (never answered): %d\n",
                bench.unanswered_probes());
  }
  if (bench.other_messages() > 0) {
    std::printf("other messages and late probe answers skipped: %d\n", bench.other_messages());
  }
  std::printf("agent stopped (status %d)\n", status);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: bench_roundtrip [--requests N] [--inflight N] [--warmup N] "
                 "[--agent PATH] [--log]\n");
    return 2;
  }
  return Run(*options);
}
