#include "backup_commands.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <rapidjson/document.h>

#include "common/json_text.h"
#include "device_commands.h"
#include "progress_bar.h"

namespace vadoctl {
namespace {

constexpr uint32_t kBackupCommand = 1600;
constexpr uint32_t kRestoreCommand = 1601;
constexpr uint32_t kListCommand = 1602;
constexpr uint32_t kEncryptionStateCommand = 1604;
constexpr uint32_t kPasswordCommand = 1605;

int64_t HeaderNumber(const rapidjson::Document& header, const char* key) {
  return header.IsObject() && header.HasMember(key) && header[key].IsInt64()
             ? header[key].GetInt64()
             : 0;
}

// Runs a backup or restore request with a progress bar; progress arrives in hundredths
// of a percent (stage 1).
int RunWithProgress(DeviceSession& session, uint32_t command, const std::string& body,
                    const std::string& label) {
  ProgressDisplay progress(stderr, ::isatty(STDERR_FILENO) == 1);
  RequestOutcome result = session.Run(command, body, [&](const AgentMessage& message,
                                                         const rapidjson::Document& header) {
    if (message.kind != 2) return;
    if (HeaderNumber(header, "stage") == 1) {
      progress.Update(static_cast<int>(HeaderNumber(header, "code") / 100), label);
      return;
    }
    rapidjson::Document data;
    data.Parse(message.body.c_str());
    if (data.IsObject() && data.HasMember("BackupDir") && data["BackupDir"].IsString()) {
      std::cout << data["BackupDir"].GetString() << std::endl;
    }
  });
  progress.Finish(label, result.answered && result.code == 0 ? "done" : "failed");
  return FinishRequest(label, result);
}

}  // namespace

std::string SourceDeviceOf(const std::string& folder) {
  std::string name = folder;
  while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
  name = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  const size_t dash = name.rfind('-');
  if (dash == std::string::npos || name.size() - dash != 15) return "";
  for (size_t i = dash + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return "";
  }
  return name.substr(0, dash);
}

int RunBackupCommand(DeviceSession& session, const CliOptions& options) {
  const std::string root = options.args.empty() ? "" : options.args[0];
  return RunWithProgress(session, kBackupCommand, "{\"path\":" + JsonQuote(root) + "}", "backup");
}

int RunRestoreCommand(DeviceSession& session, const CliOptions& options) {
  const std::string& folder = options.args[0];
  const std::string source = options.args.size() > 1 ? options.args[1] : SourceDeviceOf(folder);
  if (source.empty()) {
    std::fprintf(stderr, "vadoctl: cannot tell the source device from %s; name it: "
                         "vadoctl restore DIR SOURCE_UDID\n", folder.c_str());
    return kExitUsage;
  }
  std::string body = "{\"path\":" + JsonQuote(folder) + ",\"sourceDeviceId\":" + JsonQuote(source);
  if (!options.password.empty()) body += ",\"password\":" + JsonQuote(options.password);
  body += "}";
  return RunWithProgress(session, kRestoreCommand, body, "restore");
}

int RunBackupsCommand(DeviceSession& session, const CliOptions& options) {
  std::string paths = "[";
  if (options.args.empty()) paths += "\"\"";
  for (size_t i = 0; i < options.args.size(); ++i) {
    paths += (i > 0 ? "," : "") + JsonQuote(options.args[i]);
  }
  paths += "]";
  const bool readable = options.readable.value_or(false);
  RequestOutcome result = session.Run(kListCommand, "{\"paths\":" + paths + "}",
                                      [&](const AgentMessage& message,
                                          const rapidjson::Document& header) {
    if (message.kind != 2 || HeaderNumber(header, "stage") != 1) return;
    rapidjson::Document backup;
    backup.Parse(message.body.c_str());
    if (!backup.IsObject()) return;
    if (!readable) {
      std::cout << message.body << std::endl;
      return;
    }
    auto text = [&](const char* key) {
      return backup.HasMember(key) && backup[key].IsString() ? std::string(backup[key].GetString())
                                                            : std::string();
    };
    const int64_t size = backup.HasMember("Size") && backup["Size"].IsInt64() ? backup["Size"].GetInt64() : 0;
    std::printf("%s  %-20s %-12s %s  %8.1f MB%s  %s\n", text("Last Backup Date").c_str(),
                text("Device Name").c_str(), text("Product Type").c_str(),
                text("Unique Identifier").c_str(), static_cast<double>(size) / 1e6,
                backup.HasMember("IsEncrypted") && backup["IsEncrypted"].IsTrue() ? " encrypted" : "",
                text("Path").c_str());
  });
  return FinishRequest("backups", result);
}

int RunEncryptionCommand(DeviceSession& session, const CliOptions& options) {
  if (options.args.empty()) {
    RequestOutcome result = session.Run(kEncryptionStateCommand, "", nullptr);
    if (!result.answered) return FinishRequest("encryption", result);
    std::cout << (result.code == 0 ? "on" : "off") << std::endl;
    return kExitOk;
  }
  if (options.args[0] != "on" || options.args.size() != 2) {
    std::fprintf(stderr, "vadoctl: usage: vadoctl encryption [on PASSWORD]\n");
    return kExitUsage;
  }
  RequestOutcome result = session.Run(kPasswordCommand,
                                "{\"password\":" + JsonQuote(options.args[1]) + "}", nullptr);
  return FinishRequest("encryption on", result);
}

}  // namespace vadoctl
