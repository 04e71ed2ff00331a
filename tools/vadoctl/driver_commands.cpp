// drivers download URL: fetch the driver packages with a progress bar and print the
// verified paths; drivers install [PATH...]: install them (the agent's download folder
// when no path is given); drivers check: look for the store application;
// restart-monitoring: start the agent's device monitoring again.
#include "driver_commands.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include <rapidjson/document.h>

#include "common/json_text.h"
#include "device_commands.h"
#include "platform/process.h"
#include "progress_bar.h"

namespace vadoctl {
namespace {

constexpr uint32_t kRestartMonitoringCommand = 10;
constexpr uint32_t kDownloadCommand = 16;
constexpr uint32_t kCheckCommand = 17;
constexpr uint32_t kInstallCommand = 18;

const char* const kPackageNames[] = {"AppleApplicationSupport.msi", "AppleApplicationSupport64.msi",
                                     "AppleMobileDeviceSupport64.msi"};

int64_t IntMember(const rapidjson::Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : 0;
}

// The folder the agent downloads into: its log folder for today + "ios_driver".
std::string AgentDownloadFolder(const CliOptions& options) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y%m%d", &local);
  return platform::TempPath() + options.launch.app_folder + "/" + date + "/ios_driver/";
}

int Download(DeviceSession& session, const std::string& url) {
  ProgressDisplay progress(stderr, ::isatty(STDERR_FILENO) == 1);
  std::string paths;
  int last_index = 0;
  const std::string body = "{\"info\":{\"url\":" + JsonQuote(url) + "}}";
  RequestOutcome result = session.Run(kDownloadCommand, body, [&](const AgentMessage& message,
                                                                   const rapidjson::Document& header) {
    if (message.kind != 2 || !header.IsObject()) return;
    if (IntMember(header, "stage") == 2) {
      paths = message.body;
      return;
    }
    auto info = header.FindMember("info");
    if (info == header.MemberEnd() || !info->value.IsObject()) return;
    const int64_t total = IntMember(info->value, "total");
    const int64_t step = IntMember(info->value, "step");
    const int index = static_cast<int>(IntMember(info->value, "index"));
    const std::string label =
        "package " + std::to_string(index) + "/" + std::to_string(IntMember(info->value, "count"));
    if (last_index != 0 && index != last_index) {
      progress.Finish("package " + std::to_string(last_index), "done");
    }
    last_index = index;
    progress.Update(total > 0 ? static_cast<int>(step * 100 / total) : 0, label);
  });
  if (last_index != 0) progress.Finish("package " + std::to_string(last_index), result.code == 0 ? "done" : "failed");
  if (!paths.empty()) std::cout << paths << std::endl;
  return FinishRequest("drivers download", result);
}

int Install(DeviceSession& session, const CliOptions& options) {
  std::vector<std::string> paths(options.args.begin() + 1, options.args.end());
  if (paths.empty()) {
    const std::string folder = AgentDownloadFolder(options);
    for (const char* name : kPackageNames) {
      if (std::filesystem::exists(folder + name)) paths.push_back(folder + name);
    }
    if (paths.empty()) {
      std::fprintf(stderr, "vadoctl: no downloaded packages in %s (run drivers download URL)\n",
                   folder.c_str());
      return kExitFailed;
    }
  }
  std::string list;
  for (const std::string& path : paths) list += (list.empty() ? "" : ",") + JsonQuote(path);
  ProgressDisplay progress(stderr, ::isatty(STDERR_FILENO) == 1);
  RequestOutcome result = session.Run(kInstallCommand, "", [&](const AgentMessage& message,
                                                               const rapidjson::Document& header) {
    if (message.kind != 2 || !header.IsObject() || !header.HasMember("info")) return;
    const rapidjson::Value& info = header["info"];
    if (!info.IsObject()) return;
    const int64_t index = IntMember(info, "index");
    const int64_t count = IntMember(info, "count");
    progress.Update(count > 0 ? static_cast<int>(index * 100 / count) : 0,
                    "installed " + std::to_string(index) + "/" + std::to_string(count));
  }, "[" + list + "]");
  return FinishRequest("drivers install", result);
}

}  // namespace

int RunDrivers(DeviceSession& session, const CliOptions& options) {
  const std::string& action = options.args[0];
  if (action == "download" && options.args.size() == 2) return Download(session, options.args[1]);
  if (action == "install") return Install(session, options);
  if (action == "check" && options.args.size() == 1) {
    RequestOutcome result = session.Run(kCheckCommand, "", nullptr);
    if (result.answered && result.code == 0) std::cout << "no store edition installed" << std::endl;
    return FinishRequest("drivers check", result);
  }
  std::fprintf(stderr, "vadoctl: usage: vadoctl drivers download URL | install [PATH...] | check\n");
  return 2;
}

int RunRestartMonitoring(DeviceSession& session, const CliOptions&) {
  return FinishRequest("restart-monitoring", session.Run(kRestartMonitoringCommand, "", nullptr));
}

}  // namespace vadoctl
