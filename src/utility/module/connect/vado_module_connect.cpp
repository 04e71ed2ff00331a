#include "utility/module/connect/vado_module_connect.h"

#include <glog/logging.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/child_process_registry.h"
#include "common/dh_task.h"
#include "common/launch_options.h"
#include "common/process_state.h"
#include "platform/elevated_start.h"
#include "platform/process.h"
#include "utility/ios/vado_client.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/module/connect/driver_download.h"
#include "utility/module/connect/driver_install.h"

namespace {

constexpr uint32_t kRestartMonitoring = 10;
constexpr uint32_t kDownloadDrivers = 16;
constexpr uint32_t kCheckStoreApplication = 17;
constexpr uint32_t kInstallDrivers = 18;
constexpr int32_t kElevatedRunMode = 2;
// How long a started instance may take to connect back and present its token.
constexpr std::chrono::seconds kElevatedConnectDeadline{60};
constexpr char kElevatedChildKey[] = "elevated-instance";

// The elevated instance's command line: this executable in run mode 2, connecting to
// the private server, watching this process, logging, with its one-time token.
std::vector<std::string> ElevatedArguments(int port, const std::string& token) {
  const LaunchOptions& launch = Launch();
  return {platform::ExecutablePath(), std::to_string(port), std::to_string(::getpid()), "0", "0", "1",
          launch.product_version, launch.app_folder, launch.product_name,
          std::to_string(kElevatedRunMode), "0", "0", token};
}

bas::PacketPtr CopyPacket(const bas::IPCPacket1& packet) {
  auto copy = std::make_unique<bas::IPCPacket1>(packet);
  copy->connection = nullptr;
  return copy;
}

// The base address of the packages: "url" of the body's "info" object (or of the body).
std::string RequestUrl(const rapidjson::Document& body) {
  const rapidjson::Value* holder = &body;
  auto info = body.FindMember("info");
  if (info != body.MemberEnd() && info->value.IsObject()) holder = &info->value;
  auto url = holder->FindMember("url");
  if (url == holder->MemberEnd() || !url->value.IsString()) return "";
  std::string text(url->value.GetString(), url->value.GetStringLength());
  if (text.rfind("https://", 0) != 0 && text.rfind("http://", 0) != 0) return "";
  if (text.find('\0') != std::string::npos) return "";
  return text;
}

}  // namespace

int64_t VadoModuleConnect::HandleRequest(const bas::IPCPacket1& packet) {
  RequestHeader request = ParseRequestHeader(packet);
  if (!request.valid) {
    Reply(packet, "", kResultBadHeader);
    return 0;
  }
  const uint32_t command = packet.command_id;
  if (request.section_count != 1) {
    if (command == kRestartMonitoring || command == kDownloadDrivers) Reply(packet, request.uuid, kResultOk);
    return 0;
  }
  if (command == kRestartMonitoring) RestartMonitoring(packet);
  if (command == kDownloadDrivers) DownloadDriversRequest(packet, request);
  if (command == kCheckStoreApplication || command == kInstallDrivers) {
    if (Launch().run_mode != kElevatedRunMode) {
      Relay(packet);
    } else if (command == kInstallDrivers) {
      InstallRequest(packet, request);
    } else {
      StoreCheckRequest(packet, request);
    }
  }
  return 0;
}

void VadoModuleConnect::Relay(const bas::IPCPacket1& packet) {
  VadoClient& link = client();
  if (link.ServerIdle()) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!link.StartServer()) {
      LOG(ERROR) << "private server did not start";
      Reply(packet, "", kResultServerFailed);
      return;
    }
    // One instance at a time: a request that arrives while it starts just waits for it.
    if (!platform::ChildRunning(elevated_pid_)) {
      ChildProcessRegistry::GetInstance().Remove(kElevatedChildKey);
      const std::string token = link.NewRelayToken();
      const pid_t pid =
          token.empty() ? -1 : platform::StartElevated(ElevatedArguments(link.server_port(), token));
      if (pid < 0) {
        LOG(ERROR) << "elevated instance did not start";
        Reply(packet, "", kResultElevatedStartFailed);
        return;
      }
      elevated_pid_ = pid;
      ChildProcessRegistry::GetInstance().Add(kElevatedChildKey, pid, "");
      std::thread([this, pid] { WatchElevatedStart(pid); }).detach();
    }
  }
  bas::PacketPtr copy = CopyPacket(packet);
  if (!link.QueueIfNoInstance(copy)) link.ForwardToPeers(packet);
}

void VadoModuleConnect::WatchElevatedStart(pid_t pid) {
  VadoClient& link = client();
  const auto deadline = std::chrono::steady_clock::now() + kElevatedConnectDeadline;
  bool gone = false;
  while (link.ServerIdle() && !IsQuitting()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gone = elevated_pid_ != pid || !platform::ChildRunning(pid);
      if (!gone && std::chrono::steady_clock::now() >= deadline) {
        LOG(ERROR) << "elevated instance did not connect in time";
        platform::KillProcess(pid);
        gone = true;
      }
    }
    if (gone) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!gone || !link.ServerIdle()) return;
  for (bas::PacketPtr& waiting : link.TakePending()) {
    Reply(*waiting, "", kResultElevatedStartFailed);
  }
}

int64_t VadoModuleConnect::HandleServerPacket(const bas::IPCPacket1& packet) {
  RequestHeader message = ParseRequestHeader(packet);
  if (!message.valid || !message.json.IsObject()) {
    LOG(ERROR) << "Error Data: " << packet.command_id;
    Reply(packet, "", kResultBadBody);
    return 0;
  }
  ReplyRecord record;
  std::string fields;
  for (const auto& member : message.json.GetObject()) {
    fields += std::string(" :") + member.name.GetString() + "=" + JsonText(member.value);
  }
  LOG(INFO) << "commandType: " << packet.command_id << fields;
  auto read_int = [&](const char* key, int64_t fallback) {
    auto it = message.json.FindMember(key);
    return it != message.json.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : fallback;
  };
  record.stage = static_cast<int32_t>(read_int("stage", 0));
  record.code = read_int("code", 0);
  record.uuid = message.uuid;
  auto info = message.json.FindMember("info");
  if (info != message.json.MemberEnd()) record.info = JsonText(info->value);
  // Answers and progress of 17 and 18 carry no body.
  SendMessage(packet, record, packet.kind);
  return 0;
}

void VadoModuleConnect::SendElevatedResult(const bas::IPCPacket1& packet, const RequestHeader& request,
                                           int64_t code) {
  ReplyRecord record;
  record.code = code;
  record.uuid = request.uuid;
  record.info = "{\"error\":" + std::to_string(code) + "}";
  SendMessage(packet, record, code == 0 ? kKindResult : kKindFailed);
}

void VadoModuleConnect::InstallRequest(const bas::IPCPacket1& packet, const RequestHeader& request) {
  LOG(INFO) << JsonText(request.json);
  std::vector<std::string> packages;
  auto info = request.json.FindMember("info");
  if (info != request.json.MemberEnd() && info->value.IsArray()) {
    for (const auto& item : info->value.GetArray()) {
      if (item.IsString()) packages.emplace_back(item.GetString(), item.GetStringLength());
    }
  }
  const int64_t code = InstallDrivers(packages, DriverDownloadFolder(), [&](int index, int count) {
    ReplyRecord record;
    record.uuid = request.uuid;
    record.info = "{\"index\":" + std::to_string(index) + ",\"count\":" + std::to_string(count) + "}";
    SendMessage(packet, record, kKindProgress);
  });
  SendElevatedResult(packet, request, code);
}

void VadoModuleConnect::StoreCheckRequest(const bas::IPCPacket1& packet, const RequestHeader& request) {
  SendElevatedResult(packet, request, CheckStoreApplication());
}

void VadoModuleConnect::RestartMonitoring(const bas::IPCPacket1& packet) {
  LOG(INFO) << "DoStartLoadiTunesDll Begin: ";
  // The monitor's device lock is not held here: start-up waits for a pool job, and
  // request handlers on the other workers may be waiting for that lock.
  const int32_t code = VadoDeviceMonitor::GetInstance().StartMonitoring();
  if (code != kMonitorStarted) client().NotifyStatus(code, 0);
  LOG(INFO) << "DoStartLoadiTunesDll: " << code;
  Reply(packet, "", code);
}

void VadoModuleConnect::DownloadDriversRequest(const bas::IPCPacket1& packet,
                                               const RequestHeader& request) {
  TaskPtr task = BeginTask(GlobalTaskRegistry(), static_cast<int64_t>(packet.task_id));
  if (!task) {
    // Cancelled before it started: nothing was fetched.
    Reply(packet, request.uuid, kResultCancelled);
    return;
  }
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body) || !body.IsObject()) {
    Reply(packet, request.uuid, kResultBadBody);
    return;
  }
  const std::string url = RequestUrl(body);
  if (url.empty()) {
    LOG(ERROR) << "Url Error: no http(s) address in the request";
    Reply(packet, request.uuid, kResultBadBody);
    return;
  }
  DriverDownloadOutcome outcome = DownloadDrivers(
      url, *task, [&](int64_t step, int64_t total, int index, int count) {
        ReplyRecord record;
        record.code = total > 0 ? step * 100 / total : 0;
        record.uuid = request.uuid;
        record.info = "{\"total\":" + std::to_string(total) + ",\"step\":" + std::to_string(step) +
                      ",\"index\":" + std::to_string(index) + ",\"count\":" + std::to_string(count) + "}";
        SendMessage(packet, record, kKindProgress);
      });
  if (outcome.code == kResultCancelled) {
    Reply(packet, request.uuid, kResultCancelled);
    return;
  }
  rapidjson::Document paths(rapidjson::kArrayType);
  for (const std::string& path : outcome.verified) {
    paths.PushBack(rapidjson::Value(path.c_str(), paths.GetAllocator()), paths.GetAllocator());
  }
  SendData(packet, paths, 2);
  Reply(packet, request.uuid, outcome.code);
}
