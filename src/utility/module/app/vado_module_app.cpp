#include "utility/module/app/vado_module_app.h"

#include <glog/logging.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/afc_file_ops.h"
#include "common/dh_task.h"
#include "common/json_text.h"
#include "common/plist_message.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/app/app_exchange.h"
#include "utility/ios/app_service_requests.h"
#include "utility/module/app/ipa_package.h"
#include "utility/module/connection_cancel_hook.h"

namespace {

// Where packages are staged on the media partition before the installation proxy reads them.
constexpr const char* kStagingFolder = "general_storage";

std::string DeviceId(const VadoDevice& device) { return Utf16ToUtf8(device.unique_device_id); }

// Installation proxy and icon service: started for each request alone.
ServicePtr StartNamedService(const VadoDevice& device, const char* name) {
  int32_t error = 0;
  return GetService(device.device, &error, name, nullptr, false);
}

std::string ToJson(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string Text(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}

}  // namespace

int64_t VadoModuleApp::HandleRequest(const bas::IPCPacket1& packet) {
  std::unique_ptr<DeviceRequest> begun =
      BeginDeviceRequest(*this, packet, DeviceLookup::kUuidOrHandle);
  if (!begun) return 0;
  const RequestHeader& request = begun->header;
  const VadoDevicePtr& device = begun->device;
  const uint32_t command = packet.command_id;
  const bool known = command == kListCommand || command == kIconCommand ||
                     command == kInstallCommand || command == kUninstallCommand ||
                     command == kArchiveCommand;
  if (!known || request.section_count != 1) {
    Reply(packet, request.uuid, kResultOk);
    return 0;
  }
  if (command == kListCommand) {
    Reply(packet, request.uuid, ListApplications(packet, *device));
    return 0;
  }
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body) || !body.IsArray()) {
    Reply(packet, request.uuid, kResultBadBody);
    return 0;
  }
  int64_t code = kResultOk;
  if (command == kInstallCommand) {
    code = InstallPackages(packet, *device, *begun->task, body);
    Reply(packet, request.uuid, code,
          code == kResultCancelled ? std::optional<std::string>(JsonQuote("Task cancelled."))
                                   : std::nullopt);
    return 0;
  }
  if (command == kIconCommand) code = SendIcons(packet, *device, body);
  else code = RunApplicationCommands(packet, *device, body, command == kArchiveCommand);
  Reply(packet, request.uuid, code);
  return 0;
}

int64_t VadoModuleApp::ListApplications(const bas::IPCPacket1& packet, const VadoDevice& device) {
  ServicePtr service = StartNamedService(device, kInstallationProxyService);
  if (!service) return kAppResultNoService;
  AppList list;
  list.holder.SetObject();

  AppExchangeContext full;
  full.mode = kAppListFull;
  full.module = this;
  full.device_id = DeviceId(device);
  full.apps = &list;
  full.request = &packet;
  // One browse brings names, versions, metadata and disk usage together.
  BinaryPlistPtr browse = BuildListingBrowseRequest();
  if (browse) ExchangePlistMessages(service->connection(), browse.get(), AppReplyHandler, &full);
  if (!full.complete) {
    // An error answer, or a list that never completed, is not an empty device.
    LOG(ERROR) << "Browse failed: " << (full.error.empty() ? "no complete answer" : full.error);
    return kAppResultNoService;
  }

  ReplyRecord record;
  record.uuid = full.device_id;
  record.info = "{\"Count\":" + std::to_string(list.apps.size()) + "}";
  SendMessage(packet, record, kKindProgress);
  record.stage = 1;
  for (const rapidjson::Value& app : list.apps) {
    std::string json = ToJson(app);
    record.body = json;
    SendMessage(packet, record, kKindProgress);
  }
  return kResultOk;
}

int64_t VadoModuleApp::SendIcons(const bas::IPCPacket1& packet, const VadoDevice& device,
                                 const rapidjson::Value& ids) {
  ServicePtr service = StartNamedService(device, kSpringboardService);
  if (!service) return kAppResultNoService;
  for (const rapidjson::Value& id : ids.GetArray()) {
    if (!id.IsString()) continue;
    AppExchangeContext ctx;
    ctx.mode = kAppIcon;
    ctx.module = this;
    ctx.device_id = DeviceId(device);
    ctx.request = &packet;
    ctx.bundle_id = Text(id);
    BinaryPlistPtr request = BuildIconRequest(ctx.bundle_id);
    if (!request) continue;  // not a text the device could be asked about
    ExchangePlistMessages(service->connection(), request.get(), AppReplyHandler, &ctx);
  }
  return kResultOk;
}

namespace {

// The last message about one package or application: kind 7 when the device reported
// "Complete", 6 otherwise (including when the conversation broke off before the end).
void SendFinal(VadoModule& module, const bas::IPCPacket1& packet, const AppExchangeContext& ctx) {
  ReplyRecord record;
  record.stage = ctx.mode == kAppInstall ? kInstallProgressStage : 0;
  record.uuid = ctx.device_id;
  if (ctx.mode == kAppUninstall) record.info = JsonQuote(ctx.bundle_id);
  bool complete = ctx.finished && ctx.complete;
  if (!complete) {
    LOG(ERROR) << "Application command (mode " << ctx.mode << ") for \"" << ctx.bundle_id
               << "\" failed: " << (ctx.error.empty() ? "no final reply" : ctx.error);
  }
  module.SendMessage(packet, record, complete ? kKindInstallComplete : kKindFailed);
}

}  // namespace


int64_t VadoModuleApp::InstallPackages(const bas::IPCPacket1& packet, VadoDevice& device,
                                       DhTask& task, const rapidjson::Value& paths) {
  int32_t error = 0;
  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc || afc->afc() == nullptr) return kAppResultNoAfc;
  ServicePtr proxy = StartNamedService(device, kInstallationProxyService);
  if (!proxy) return kAppResultNoService;
  ConnectionCancelHook hook(task, proxy->connection());
  // A cancel that came while the services started has found no hook yet.
  if (task.status() == kTaskCancelled) return kResultCancelled;
  for (const rapidjson::Value& path : paths.GetArray()) {
    if (IsCancelled(task)) return kResultCancelled;
    if (!path.IsString()) continue;
    const std::string pc_path = Text(path);
    AppExchangeContext ctx;
    ctx.mode = kAppInstall;
    ctx.module = this;
    ctx.device_id = DeviceId(device);
    ctx.request = &packet;
    ctx.task = &task;
    ctx.bundle_id = IpaBundleId(ReadIpaMembers(pc_path));
    const std::string staged =
        std::string(kStagingFolder) + "/" + StagedPackageName(ctx.bundle_id) + ".ipa";
    MakeDirectory(afc->afc(), kStagingFolder);
    std::u16string source;
    if (!DecodeUtf8(pc_path, &source) || !CopyFileToDevice(afc->afc(), source, staged)) {
      // The front end hears about every package, also one that never reached the device.
      ctx.error = "cannot copy " + pc_path + " to the device";
      SendFinal(*this, packet, ctx);
      continue;
    }
    if (IsCancelled(task)) return kResultCancelled;
    BinaryPlistPtr request = BuildInstallRequest(staged);
    if (request) ExchangePlistMessages(proxy->connection(), request.get(), AppReplyHandler, &ctx);
    // A cancelled exchange broke off; its package gets no final message.
    if (ctx.cancelled || task.status() == kTaskCancelled) return kResultCancelled;
    SendFinal(*this, packet, ctx);
  }
  return kResultOk;
}

int64_t VadoModuleApp::RunApplicationCommands(const bas::IPCPacket1& packet,
                                              const VadoDevice& device,
                                              const rapidjson::Value& ids, bool archive) {
  ServicePtr proxy = StartNamedService(device, kInstallationProxyService);
  if (!proxy) return kAppResultNoService;
  for (const rapidjson::Value& id : ids.GetArray()) {
    if (!id.IsString()) continue;
    AppExchangeContext ctx;
    ctx.mode = archive ? kAppArchive : kAppUninstall;
    ctx.module = this;
    ctx.device_id = DeviceId(device);
    ctx.request = &packet;
    ctx.bundle_id = Text(id);
    BinaryPlistPtr request =
        BuildApplicationCommand(archive ? "Archive" : "Uninstall", ctx.bundle_id);
    if (request) ExchangePlistMessages(proxy->connection(), request.get(), AppReplyHandler, &ctx);
    else ctx.error = "not a bundle id";
    SendFinal(*this, packet, ctx);
  }
  return kResultOk;
}
