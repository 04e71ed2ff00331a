#include "erase_commands.h"

#include <unistd.h>

#include <cstdio>

#include "backup_commands.h"
#include "common/json_text.h"
#include "device_commands.h"
#include "file_transfer.h"
#include "progress_bar.h"

namespace vadoctl {
namespace {

constexpr uint32_t kWipeCommand = 1700;
constexpr uint32_t kWipeFreeCommand = 1701;

int64_t HeaderInteger(const rapidjson::Document& header, const char* key) {
  return header.IsObject() && header.HasMember(key) && header[key].IsInt64()
             ? header[key].GetInt64()
             : 0;
}

// Sends the request with a progress bar per stage; Ctrl-C cancels the task and waits a
// moment for the agent to confirm.
int RunWipeRequest(DeviceSession& session, uint32_t command, const std::string& body,
                   const std::string& what) {
  ProgressDisplay progress(stderr, ::isatty(STDERR_FILENO) == 1);
  const uint64_t task_id = session.NextTaskId();
  auto sink = [&](const AgentMessage& message, const rapidjson::Document& header) {
    if (message.kind != 2) return;
    const int64_t stage = HeaderInteger(header, "stage");
    const int64_t code = HeaderInteger(header, "code");
    if (command == kWipeFreeCommand) {
      progress.Update(static_cast<int>(code), "overwriting free space");
    } else if (stage == 0) {
      progress.Update(static_cast<int>(code), "emptying media folders");
    } else if (stage == 2) {
      progress.Update(static_cast<int>(code), "uninstalling applications");
    } else if (stage == 1) {
      progress.Update(static_cast<int>(code / 100), "restoring the backup");  // hundredths
    }
  };
  RequestOutcome outcome = RunRequest(session.link(), command, task_id,
                                      DeviceHeader(session.device()), body, sink,
                                      session.timeout(), &InterruptFlag());
  if (!outcome.answered && Interrupted()) {
    SendCancel(session.link(), session.device(), task_id);
    outcome = AwaitResult(session.link(), command, task_id, sink, std::chrono::seconds(5));
    std::fprintf(stderr, "\nvadoctl: interrupted; task %llu cancelled\n",
                 static_cast<unsigned long long>(task_id));
    return kExitNoResult;
  }
  progress.Finish(what, outcome.answered && outcome.code == 0 ? "done" : "failed");
  return FinishRequest(what, outcome);
}

}  // namespace

std::string WipeBody(const std::string& backup_dir, const std::string& source,
                     const std::string& password) {
  std::string body = "{\"path\":" + JsonQuote(backup_dir) + ",\"sourceDeviceId\":" +
                     JsonQuote(source);
  if (!password.empty()) body += ",\"password\":" + JsonQuote(password);
  return body + "}";
}

std::string WipeFreeBody(int64_t level) { return "{\"level\":" + std::to_string(level) + "}"; }

int RunWipe(DeviceSession& session, const CliOptions& options) {
  if (options.backup_dir.empty()) {
    std::fprintf(stderr, "vadoctl: usage: vadoctl wipe --backup DIR [--password P]\n");
    return kExitUsage;
  }
  // A backup folder named after its device says where it came from; otherwise it is
  // taken to be this device's own.
  std::string source = SourceDeviceOf(options.backup_dir);
  if (source.empty()) source = session.udid();
  return RunWipeRequest(session, kWipeCommand,
                        WipeBody(options.backup_dir, source, options.password), "wipe");
}

int RunWipeFree(DeviceSession& session, const CliOptions& options) {
  if (options.level < 0) {
    std::fprintf(stderr, "vadoctl: usage: vadoctl wipe-free --level N\n");
    return kExitUsage;
  }
  return RunWipeRequest(session, kWipeFreeCommand, WipeFreeBody(options.level), "wipe-free");
}

}  // namespace vadoctl
