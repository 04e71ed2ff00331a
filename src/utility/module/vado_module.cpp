#include "utility/module/vado_module.h"

#include <cmath>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/json_text.h"
#include "common/message_sections.h"
#include "common/text_convert.h"
#include "common/zlib_codec.h"
#include "utility/ios/vado_client.h"
#include "utility/ios/vado_device_monitor.h"

uint16_t ResultKind(int64_t code) {
  if (code == kResultOk) return kKindResult;
  if (code == kResultCancelled) return kKindCancelled;
  return kKindFailed;
}

void VadoModule::CallHook(int64_t argument) {
  if (hook_ != nullptr) hook_(argument, hook_context_, 0, argument);
}

int64_t VadoModule::HandleRequest(const bas::IPCPacket1&) {
  CallHook(1);
  return 0;
}

void VadoModule::Reply(const bas::IPCPacket1& request, std::string_view uuid, int64_t code,
                       std::optional<std::string> info) {
  ReplyRecord record;
  record.code = code;
  record.uuid = std::string(uuid);
  record.info = std::move(info);
  SendMessage(request, record, ResultKind(code));
}

void VadoModule::ReportProgress(const bas::IPCPacket1& request, const VadoDevice* device,
                                double percent, int32_t progress_kind) {
  ReplyRecord record;
  record.stage = progress_kind;
  record.code = std::isfinite(percent) ? static_cast<int64_t>(std::trunc(percent)) : 0;
  if (device != nullptr) record.uuid = Utf16ToUtf8(device->unique_device_id);
  SendMessage(request, record, kKindProgress);
}

void VadoModule::SendData(const bas::IPCPacket1& request, std::string_view json, int32_t stage) {
  ReplyRecord record;
  record.stage = stage;
  record.uuid = std::string();
  record.body = json;
  SendMessage(request, record, kKindProgress);
}

void VadoModule::SendMessage(const bas::IPCPacket1& request, const ReplyRecord& record,
                             uint16_t kind) {
  SendPreparedMessage(request, BuildMessageParts(record), kind);
}

void VadoModule::SendPreparedMessage(const bas::IPCPacket1& request, const MessageParts& parts,
                                     uint16_t kind) {
  bas::PacketHeader header;
  header.task_id = request.task_id;
  header.command_id = request.command_id;
  header.kind = kind;
  client_.SendParts(parts, header);
}

void VadoModule::SendData(const bas::IPCPacket1& request, const rapidjson::Value& value,
                          int32_t stage) {
  SendData(request, JsonText(value), stage);
}

std::string JsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

RequestHeader ParseRequestHeader(const bas::IPCPacket1& packet) {
  RequestHeader request;
  std::string_view payload(reinterpret_cast<const char*>(packet.data()),
                           static_cast<size_t>(packet.length));
  if (packet.data() == nullptr) payload = std::string_view();
  MessageSections sections = SplitMessage(payload);
  if (!sections.valid) return request;
  request.section_count = sections.count;
  request.body = sections.body;
  if (!ParseUntrustedJson(sections.header, &request.json) || !request.json.IsObject()) {
    return request;
  }
  auto uuid = request.json.FindMember("uuid");
  if (uuid != request.json.MemberEnd() && uuid->value.IsString()) {
    request.uuid.assign(uuid->value.GetString(), uuid->value.GetStringLength());
  }
  request.valid = true;
  return request;
}

VadoDevicePtr FindRequestDevice(const RequestHeader& request) {
  int64_t handle = 0;
  auto code = request.json.FindMember("code");
  if (code != request.json.MemberEnd() && code->value.IsInt64()) handle = code->value.GetInt64();
  else if (code != request.json.MemberEnd() && code->value.IsUint64()) {
    handle = static_cast<int64_t>(code->value.GetUint64());
  }
  VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
  std::lock_guard<std::mutex> lock(monitor.mutex());
  // An empty identifier (absent, or not UTF-8) must not match a device whose identity
  // has not been read yet.
  std::u16string id = Utf8ToUtf16(request.uuid);
  if (!id.empty()) {
    if (VadoDevicePtr device = monitor.FindDeviceById(id)) return device;
  }
  // The handle is only compared with those of attached devices, never dereferenced.
  if (handle == 0) return nullptr;
  return monitor.FindDeviceByHandle(reinterpret_cast<DeviceRef>(static_cast<intptr_t>(handle)));
}

void DeviceRequest::ForgetTask() {
  if (!task || registry == nullptr) return;
  std::lock_guard<std::mutex> lock(registry->mutex);
  if (registry->Find(task->task_id) == task) registry->Remove(task->task_id);
  registry = nullptr;
}

std::unique_ptr<DeviceRequest> BeginDeviceRequest(VadoModule& module,
                                                  const bas::IPCPacket1& packet,
                                                  DeviceLookup lookup) {
  auto request = std::make_unique<DeviceRequest>();
  request->header = ParseRequestHeader(packet);
  if (!request->header.valid) {
    module.Reply(packet, "", kResultBadHeader);
    return nullptr;
  }
  if (lookup == DeviceLookup::kUuidOrHandle) {
    request->device = FindRequestDevice(request->header);
  } else if (!request->header.uuid.empty()) {
    VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
    std::lock_guard<std::mutex> lock(monitor.mutex());
    request->device = monitor.FindDeviceById(Utf8ToUtf16(request->header.uuid));
  }
  if (!request->device && lookup != DeviceLookup::kUuidOptional) {
    module.Reply(packet, request->header.uuid, kResultNoDevice);
    return nullptr;
  }
  request->registry = request->device ? &request->device->tasks : &GlobalTaskRegistry();
  request->task = BeginTask(*request->registry, static_cast<int64_t>(packet.task_id));
  if (!request->task) return nullptr;  // cancelled before it started: no answer
  return request;
}

bool ParseRequestBody(const RequestHeader& request, rapidjson::Document* out) {
  if (request.body.empty()) return false;
  std::optional<std::string> text = ZlibDecompress(request.body, kMaxRequestBodyBytes);
  if (!text) return false;
  return ParseUntrustedJson(*text, out);
}
