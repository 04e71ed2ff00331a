#include "file_commands.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "common/json_text.h"
#include "common/number_parse.h"
#include "device_commands.h"
#include "file_transfer.h"
#include "progress_bar.h"

namespace vadoctl {
namespace {

using Clock = std::chrono::steady_clock;

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// "12.0 MB / 100.0 MB  35.2 MB/s  3 s left"
class RateProgress {
 public:
  RateProgress() : display_(stderr, ::isatty(STDERR_FILENO) == 1), start_(Clock::now()) {}
  void Update(int64_t done, int64_t total) {
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string label = Megabytes(done) + " / " + Megabytes(total);
    if (rate > 0) {
      char text[64];
      std::snprintf(text, sizeof(text), "  %.1f MB/s  %.0f s left", rate / 1e6,
                    static_cast<double>(total - done) / rate);
      label += text;
    }
    display_.Update(total > 0 ? static_cast<int>(done * 100 / total) : 100, label);
  }
  void Finish(bool ok) { display_.Finish("", ok ? "done" : "failed"); }

 private:
  ProgressDisplay display_;
  Clock::time_point start_;
};

int Finish(DeviceSession& session, uint64_t task_id, const TransferOutcome& outcome,
           RateProgress& progress) {
  progress.Finish(outcome.ok);
  if (outcome.ok) {
    std::printf("%s\n", outcome.device_path.c_str());
    return kExitOk;
  }
  if (Interrupted()) {
    // Ctrl-C: the agent's task is cancelled before we go.
    SendCancel(session.link(), session.device(), task_id);
    std::fprintf(stderr, "vadoctl: interrupted; task %llu cancelled\n",
                 static_cast<unsigned long long>(task_id));
    return kExitNoResult;
  }
  std::fprintf(stderr, "vadoctl: %s\n", outcome.error.c_str());
  return kExitFailed;
}

}  // namespace

int RunPull(DeviceSession& session, const CliOptions& options) {
  const std::string& device_path = options.args[0];
  std::string local = options.args.size() > 1 ? options.args[1] : std::string();
  if (local.empty()) {
    size_t slash = device_path.rfind('/');
    local = slash == std::string::npos ? device_path : device_path.substr(slash + 1);
    if (local.empty() || local == "." || local == "..") local = "download.bin";
  }
  FileTransferClient client(session.link(), session.device(), session.timeout(), &InterruptFlag());
  RateProgress progress;
  uint64_t task_id = session.NextTaskId();
  TransferOutcome outcome = client.Pull(task_id, device_path, local,
                                        [&](int64_t done, int64_t total) { progress.Update(done, total); });
  if (outcome.ok) outcome.device_path = device_path;
  return Finish(session, task_id, outcome, progress);
}

int RunPush(DeviceSession& session, const CliOptions& options) {
  TransferTarget target;
  target.book = options.book;
  target.folder = options.device_dir.empty() ? "/Downloads" : options.device_dir;
  FileTransferClient client(session.link(), session.device(), session.timeout(), &InterruptFlag());
  RateProgress progress;
  uint64_t task_id = session.NextTaskId();
  TransferOutcome outcome = client.Push(task_id, options.args[0], target,
                                        [&](int64_t done, int64_t total) { progress.Update(done, total); });
  return Finish(session, task_id, outcome, progress);
}

int RunCopyOut(DeviceSession& session, const CliOptions& options) {
  if (options.args.size() % 3 != 0) {
    std::fprintf(stderr, "vadoctl: copy-out takes NAME DEVICE_PATH LOCAL_DIR triples\n");
    return kExitUsage;
  }
  std::string body = "[";
  for (size_t i = 0; i < options.args.size(); i += 3) {
    if (i > 0) body += ",";
    body += "[" + JsonQuote(options.args[i]) + "," + JsonQuote(options.args[i + 1]) + "," +
            JsonQuote(options.args[i + 2]) + "]";
  }
  body += "]";
  RequestOutcome outcome = session.Run(701, body, [](const AgentMessage& message,
                                                     const rapidjson::Document& header) {
    if (message.kind != 2 || !header.IsObject()) return;
    auto info = header.FindMember("info");
    if (info != header.MemberEnd() && info->value.IsString()) {
      std::printf("%s\n", info->value.GetString());
    }
  });
  return FinishRequest("copy-out", outcome);
}

int RunCancel(DeviceSession& session, const CliOptions& options) {
  uint64_t task_id = static_cast<uint64_t>(ParseLeadingInt64(options.args[0]));
  if (!SendCancel(session.link(), session.device(), task_id)) {
    std::fprintf(stderr, "vadoctl: the agent link is closed\n");
    return kExitNoResult;
  }
  return kExitOk;
}

}  // namespace vadoctl
